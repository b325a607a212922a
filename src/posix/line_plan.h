// What SetCommState does with the modem lines and the driver's RS-485 mode,
// decided in one place from the settings record and what the driver can do,
// with no device involved: SetCommState and WriteFile carry the plan out, and
// the fuzz tests check it on records of their own.
#ifndef KOBREL_POSIX_LINE_PLAN_H
#define KOBREL_POSIX_LINE_PLAN_H

#include "posix/win_comm.h"

// Found out by the layer for each port it opens.
struct driver_abilities {
    bool has_modem_lines;           // DTR and RTS can be set (not on a pseudo-terminal)
    bool has_rs485_mode;            // the driver can switch RTS around its own sending
    bool reports_transmitter_empty; // it tells when the last stop bit has left the line
};

enum rts_setting {
    RTS_LEFT_ALONE, // no line to set, or the handshake or the driver's RS-485 mode drives it
    RTS_LOW,
    RTS_HIGH,
};

// How RTS follows the bytes a write sends. Only DIRECTION_KERNEL has the
// driver's RS-485 mode on; every other plan switches it off.
enum write_direction {
    DIRECTION_NONE,         // RTS stays as set
    DIRECTION_KERNEL,       // the driver's RS-485 mode
    DIRECTION_BY_HAND_TEMT, // RTS up, write, wait for the empty transmitter, RTS down
    DIRECTION_BY_HAND_DRAIN // the same, waiting with tcdrain
};

// Whether the layer itself raises and drops RTS around each write.
inline bool direction_by_hand(write_direction direction)
{
    return direction == DIRECTION_BY_HAND_TEMT || direction == DIRECTION_BY_HAND_DRAIN;
}

struct line_plan {
    bool sets_dtr; // false where there is no DTR to set
    bool dtr_on;
    rts_setting rts; // RTS now, before any write
    write_direction direction;
};

// For a record that dcb_supported accepted.
line_plan plan_line(const DCB *dcb, const driver_abilities *driver);

// The time one character takes on the line: start bit, data bits, parity bit
// and stop bits at rate bits per second (rate > 0).
uint64_t character_nanoseconds(const DCB *dcb, uint32_t rate);

#endif
