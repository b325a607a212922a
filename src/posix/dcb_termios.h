// The device settings record and the termios record, one to the other, with
// no device involved: SetCommState and GetCommState make the system calls
// around these, and the fuzz tests run them on records of their own.
#ifndef KOBREL_POSIX_DCB_TERMIOS_H
#define KOBREL_POSIX_DCB_TERMIOS_H

#include "posix/win_comm.h"

#include <termios.h>

// Whether termios can carry out the record; SetCommState refuses the others
// as a device refuses settings it cannot take.
bool dcb_supported(const DCB *dcb);

// Changes line, the device's present termios record, to what dcb asks for:
// raw bytes both ways, data bits, parity, stop bits, hardware and XON/XOFF
// flow control, and the speed. *exact_speed_needed tells that the rate has no
// termios code: line then carries B38400 and the caller sets the exact rate
// after tcsetattr. False when termios refused the speed code.
bool termios_from_dcb(const DCB *dcb, struct termios *line, bool *exact_speed_needed);

// Takes parity out of line: for a pseudo-terminal, which has no parity bit
// and drops it from any record it is given.
void termios_without_parity(struct termios *line);

// A terminal never set up as a serial line, still in canonical mode.
bool terminal_mode(const struct termios *line);

// The record for a line: its termios, its speed in bits per second, its modem
// lines (TIOCM_DTR and TIOCM_RTS bits) and whether RTS follows transmission
// (RS-485 direction control). Fields termios has no place for are zero.
void dcb_from_termios(const struct termios *line, uint32_t speed, int modem_lines, bool rts_toggles,
                      DCB *dcb);

// The rate the UART really runs at for the rate its driver reports: where
// the divisor is a whole number and divisor_base the rate of divisor 1, the
// nearest divisor's rate, as the serial core picks it; a divisor_base of 0
// (not known) trusts the reported rate.
uint32_t programmed_rate(uint32_t reported, uint32_t divisor_base);

// Whether the device runs with what was asked: tcsetattr succeeds when any
// part was taken. Parity is checked only where the line has it (a
// pseudo-terminal ignores it).
bool line_took_settings(const struct termios *wanted, DWORD wanted_speed,
                        const struct termios *applied, uint32_t applied_speed,
                        bool parity_checked);

#endif
