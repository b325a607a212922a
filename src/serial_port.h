// The one serial port of the process: open and configure it, send a buffer,
// hand out received bytes one at a time without waiting, close it. Every
// operation prints its own failure message and returns a small result.
#ifndef KOBREL_SERIAL_PORT_H
#define KOBREL_SERIAL_PORT_H

#include <stdint.h>

// Line settings, stored by the driver before port_open and read only by
// port_apply_settings. The baud rate goes to the device bit for bit.
extern int32_t port_baud_rate;
// 'e'/'E' even, 'o'/'O' odd, 'n'/'N' no parity; anything else keeps the
// device's parity.
extern char port_parity_letter;

// Opens \\.\COM<port_number> and applies the line settings. Returns 0 when the
// port is ready; 1 port number above 256, 2 device not opened, 3 queue
// sizing failed, 4 settings not read, 5 settings not taken. On 3 to 5 the
// handle is left open: the process ends right after.
int port_open(int32_t port_number);

// Sets baud rate, parity, 8 data bits, one stop bit and RTS toggling in the
// settings read from the device, keeping everything else, and writes them
// back. 0 on success, 1 (message printed) when the device refuses them.
int port_apply_settings(void);

// Writes count bytes in one call. 0 when all were written, else 1; prints
// nothing.
int port_send(const uint8_t *bytes, int32_t count);

// Never waits: returns a received byte 0 to 255, -1 when none is waiting,
// -2 when the queue could not be queried, -3 when the read failed, -4 when
// the read did not deliver exactly one byte.
int port_poll_byte(void);

void port_close(void);

#endif
