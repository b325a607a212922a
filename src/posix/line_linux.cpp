// Linux: numeric speeds through termios2 (BOTHER), RS-485 through the serial
// core's TIOCSRS485 and the empty transmitter through TIOCSERGETLSR. This
// file must not see glibc's <termios.h>: its struct termios differs from the
// kernel's one that termios2 extends.
#include "posix/line_os.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <string.h>

static_assert(sizeof(struct termios2) <= sizeof(os_saved_line::settings), "termios2 fits");
static_assert(sizeof(struct serial_rs485) <= sizeof(os_saved_line::rs485), "serial_rs485 fits");

bool os_line_speed_get(int fd, uint32_t *speed)
{
    struct termios2 line;
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    *speed = line.c_ospeed;
    return true;
}

bool os_line_speed_set(int fd, uint32_t speed)
{
    struct termios2 line;
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    line.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = speed;
    line.c_ospeed = speed;
    return ioctl(fd, TCSETS2, &line) == 0;
}

uint32_t os_divisor_base(int fd)
{
    // Only the classic 8250 family, with no custom or multiplied divisors
    // set: other UARTs and the USB adapters may divide by fractions.
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.baud_base <= 0 ||
        ((unsigned int)serial.flags & (ASYNC_SPD_MASK | ASYNC_MAGIC_MULTIPLIER)) != 0)
        return 0;
    switch (serial.type) {
    case PORT_8250:
    case PORT_16450:
    case PORT_16550:
    case PORT_16550A: return (uint32_t)serial.baud_base;
    default: return 0;
    }
}

bool os_rs485_answers(int fd)
{
    struct serial_rs485 rs485 = {};
    return ioctl(fd, TIOCGRS485, &rs485) == 0;
}

bool os_rs485_enabled(int fd)
{
    struct serial_rs485 rs485 = {};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0)
        return false;
    return (rs485.flags & SER_RS485_ENABLED) != 0;
}

bool os_rs485_set(int fd, bool enabled)
{
    struct serial_rs485 rs485 = {};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0)
        return false;
    if (!enabled) {
        rs485.flags &= ~(__u32)SER_RS485_ENABLED;
        return ioctl(fd, TIOCSRS485, &rs485) == 0;
    }
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~(__u32)SER_RS485_RTS_AFTER_SEND;
    if (ioctl(fd, TIOCSRS485, &rs485) != 0)
        return false;
    // The driver writes back what it accepted. Some keep only the opposite
    // polarity (RTS off while sending), which would hold the bus between
    // frames: such a mode is no use here, and goes off again.
    const __u32 wanted = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if ((rs485.flags & (wanted | SER_RS485_RTS_AFTER_SEND)) == wanted)
        return true;
    rs485.flags &= ~(__u32)SER_RS485_ENABLED;
    ioctl(fd, TIOCSRS485, &rs485);
    return false;
}

bool os_line_save(int fd, os_saved_line *saved)
{
    struct termios2 line;
    struct serial_rs485 rs485 = {};
    if (ioctl(fd, TCGETS2, &line) != 0)
        return false;
    saved->has_rs485 = ioctl(fd, TIOCGRS485, &rs485) == 0;
    memcpy(saved->settings, &line, sizeof line);
    memcpy(saved->rs485, &rs485, sizeof rs485);
    return true;
}

bool os_line_restore(int fd, const os_saved_line *saved)
{
    struct termios2 line;
    struct serial_rs485 rs485;
    struct serial_rs485 now = {};
    memcpy(&line, saved->settings, sizeof line);
    memcpy(&rs485, saved->rs485, sizeof rs485);
    bool ok = true;
    // Only a mode that changed is written: a driver without one refuses it.
    if (saved->has_rs485 && ioctl(fd, TIOCGRS485, &now) == 0 && now.flags != rs485.flags)
        ok = ioctl(fd, TIOCSRS485, &rs485) == 0;
    return ioctl(fd, TCSETS2, &line) == 0 && ok;
}

bool os_transmitter_empty(int fd, bool *empty, int *queued)
{
    // The serial core reports TEMT while flow control stops the output with
    // bytes still queued; only an empty queue as well means the frame is out.
    unsigned int status = 0;
    if (ioctl(fd, TIOCSERGETLSR, &status) != 0 || ioctl(fd, TIOCOUTQ, queued) != 0)
        return false;
    *empty = (status & TIOCSER_TEMT) != 0 && *queued == 0;
    return true;
}

void os_sleep_precisely(void)
{
    static bool slack_set = false;
    if (!slack_set)
        slack_set = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
}
