// What plain termios cannot say about a serial line, provided once per
// operating system: the speed as a number of bits per second (termios only
// knows the standard B* rates), the driver's own RS-485 direction control,
// and when the last byte has left the line.
#ifndef KOBREL_POSIX_LINE_OS_H
#define KOBREL_POSIX_LINE_OS_H

#include <stdint.h>

// The line's output speed in bits per second.
bool os_line_speed_get(int fd, uint32_t *speed);

// Sets input and output speed to any positive rate the driver accepts. Call it
// after tcsetattr, which would otherwise put the last B* rate back.
bool os_line_speed_set(int fd, uint32_t speed);

// The rate of divisor 1 where the driver is known to divide it by a whole
// number and yet reports the rate asked for, not the one it divided out;
// 0 where the reported rate is the one the line runs at, as far as is known.
uint32_t os_divisor_base(int fd);

// Whether the driver answers for an RS-485 mode at all; some that answer
// have none to switch on.
bool os_rs485_answers(int fd);

// Whether the driver drives RTS for transmission itself (RTS on while sending).
bool os_rs485_enabled(int fd);

// Switches the driver's RS-485 mode on (RTS on while sending, off after) or
// off. False when the driver has no such mode, or did not keep it as asked;
// the mode is then left off.
bool os_rs485_set(int fd, bool enabled);

// What a failed SetCommState puts back: the line's settings with their exact
// speed and the RS-485 mode, in the system's own records.
struct os_saved_line {
    alignas(8) unsigned char settings[64];
    alignas(8) unsigned char rs485[64];
    bool has_rs485; // the driver answered for its RS-485 mode
};

bool os_line_save(int fd, os_saved_line *saved);
bool os_line_restore(int fd, const os_saved_line *saved);

// Whether the last stop bit has left the line and the driver holds nothing
// more to send, in *empty; the bytes the driver still holds (not counting
// the UART's own FIFO) in *queued. False when the driver cannot tell.
bool os_transmitter_empty(int fd, bool *empty, int *queued);

// Lets this thread's timed sleeps end when asked rather than up to the
// system's default slack later.
void os_sleep_precisely(void);

#endif
