// The Windows communications calls the tool uses, provided over termios so
// the port module runs unchanged on POSIX systems.
//
// Device names: "\\.\COM<n>" is a device of the port folder or a serial
// device, by the rules in port_folder.h.
//
// A handle owns a read-ahead buffer: the tool polls one byte at a time, and
// serving those polls from memory keeps it to one read() per burst of input.
#include "posix/win_comm.h"

#include "posix/dcb_termios.h"
#include "posix/interrupt.h"
#include "posix/line_os.h"
#include "posix/line_plan.h"
#include "posix/port_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// The deepest transmit FIFO of a common UART (16550A: 16 bytes; the 16750 and
// 16950 have more, but the driver fills them no deeper than this by default).
const uint64_t FIFO_DEPTH = 16;

struct posix_port {
    bool in_use;
    int fd;
    bool exclusive; // holds TIOCEXCL, to be cleared at close
    driver_abilities driver;
    write_direction direction; // as the last SetCommState planned it
    uint64_t character_ns;     // one character on the line, as last set
    uint32_t divisor_base;     // 0: the driver's reported rate is the line's
    size_t ahead_start;
    size_t ahead_end;
    unsigned char ahead[64 * 1024];
};

posix_port open_ports[4];

posix_port *port_of(const void *handle)
{
    for (posix_port &port : open_ports)
        if (handle == &port && port.in_use)
            return &port;
    return nullptr;
}

// "\\.\COM<n>" -> a path on this system. Only plain decimal numbers are port
// names, so "COM-1" or "COM007" are missing devices as on Windows.
bool device_path(const char *name, char *path, size_t size)
{
    static const char prefix[] = "\\\\.\\COM";
    if (strncmp(name, prefix, sizeof prefix - 1) != 0)
        return false;
    const char *digits = name + sizeof prefix - 1;
    size_t length = strspn(digits, "0123456789");
    if (length == 0 || length > 9 || digits[length] != '\0' || (digits[0] == '0' && length > 1))
        return false;
    return port_device_path((uint32_t)strtoul(digits, nullptr, 10), path, size);
}

void close_port(posix_port *port)
{
    // The exclusive flag outlives our descriptor when another program (say,
    // a simulator) keeps the device open; clear it so the next run can open.
    if (port->exclusive)
        ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    port->in_use = false;
}

bool set_modem_line(posix_port *port, int line, bool on)
{
    return ioctl(port->fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool write_all(posix_port *port, const unsigned char *bytes, DWORD count, DWORD *written)
{
    while (*written < count) {
        ssize_t n = write(port->fd, bytes + *written, count - *written);
        if (n > 0) {
            *written += (DWORD)n;
        } else if (n < 0 && errno == EINTR) {
            interrupt_point();
        } else {
            return false;
        }
    }
    return true;
}

bool drain(posix_port *port)
{
    while (tcdrain(port->fd) != 0) {
        if (errno != EINTR)
            return false;
        interrupt_point();
    }
    return true;
}

uint64_t monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

void sleep_until(uint64_t deadline_ns)
{
    struct timespec at;
    at.tv_sec = (time_t)(deadline_ns / 1000000000u);
    at.tv_nsec = (long)(deadline_ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR)
        interrupt_point();
}

// Returns once the frame's last stop bit has left the line. tcdrain sleeps in
// whole clock ticks, often several characters past the end, and a device
// that answers 3.5 characters after the frame would find the bus still held.
// So where the driver reports its empty transmitter, sleep until about one
// character before the end and ask it from there on.
bool wait_until_sent(posix_port *port, uint64_t frame_end_ns)
{
    if (port->direction != DIRECTION_BY_HAND_TEMT)
        return drain(port);
    const uint64_t character = port->character_ns;
    sleep_until(frame_end_ns - character);
    // While the driver still holds bytes, they take at least a character
    // each: sleep that long. Once it holds none, the rest is in the UART
    // (FIFO and shift register): look until the last stop bit has left.
    // A line that makes no progress (flow control holding it) is left to
    // tcdrain instead of this loop.
    const uint64_t patience_ns = (FIFO_DEPTH + 1) * character + 1000000u;
    uint64_t progress_ns = monotonic_ns();
    int last_queued = -1;
    bool empty = false;
    int queued = 0;
    while (os_transmitter_empty(port->fd, &empty, &queued) && !empty) {
        interrupt_point();
        const uint64_t now = monotonic_ns();
        if (queued != last_queued) {
            last_queued = queued;
            progress_ns = now;
        } else if (now - progress_ns > patience_ns) {
            break;
        }
        // The last bytes are in the UART: look again an eighth of a
        // character later. That is precise enough, costs next to no CPU, and
        // leaves the device to the rest of the system between looks.
        if (queued > 1)
            sleep_until(now + (uint64_t)(queued - 1) * character);
        else
            sleep_until(now + character / 8);
    }
    return empty || drain(port);
}

struct saved_line {
    os_saved_line os;
    int modem_lines;
};

bool save_line(const posix_port *port, saved_line *saved)
{
    saved->modem_lines = 0;
    return os_line_save(port->fd, &saved->os) &&
           (!port->driver.has_modem_lines || ioctl(port->fd, TIOCMGET, &saved->modem_lines) == 0);
}

// The modem lines last: switching the RS-485 mode back sets them anew.
void restore_line(posix_port *port, const saved_line *saved)
{
    os_line_restore(port->fd, &saved->os);
    if (port->driver.has_modem_lines) {
        set_modem_line(port, TIOCM_DTR, (saved->modem_lines & TIOCM_DTR) != 0);
        set_modem_line(port, TIOCM_RTS, (saved->modem_lines & TIOCM_RTS) != 0);
    }
}

// SetCommState's changes to the line, in the order that keeps the bus free.
bool apply_settings(posix_port *port, const DCB *dcb)
{
    line_plan plan = plan_line(dcb, &port->driver);
    if (plan.direction == DIRECTION_KERNEL && !os_rs485_set(port->fd, true)) {
        // The driver has no RS-485 mode after all: toggle by hand.
        port->driver.has_rs485_mode = false;
        plan = plan_line(dcb, &port->driver);
    }
    // RTS goes down before anything else: the kernel raised it at the open,
    // and while it is up the transceiver drives the bus.
    if (plan.rts == RTS_LOW && !set_modem_line(port, TIOCM_RTS, false))
        return false;
    if (plan.direction != DIRECTION_KERNEL && os_rs485_enabled(port->fd) &&
        !os_rs485_set(port->fd, false))
        return false;

    struct termios line;
    bool exact_speed_needed = false;
    if (tcgetattr(port->fd, &line) != 0 || !termios_from_dcb(dcb, &line, &exact_speed_needed))
        return false;
    // A line without modem lines is a pseudo-terminal: it has no parity bit
    // and drops it, and glibc's tcsetattr reports that as a failure. Asking
    // for none there keeps parity exact on the lines that have it.
    if (!port->driver.has_modem_lines)
        termios_without_parity(&line);
    if (tcsetattr(port->fd, TCSANOW, &line) != 0)
        return false;
    if (exact_speed_needed && !os_line_speed_set(port->fd, dcb->BaudRate))
        return false;
    if (plan.sets_dtr && !set_modem_line(port, TIOCM_DTR, plan.dtr_on))
        return false;
    if (plan.rts == RTS_HIGH && !set_modem_line(port, TIOCM_RTS, true))
        return false;

    // Read back what the device actually runs with. A line without modem
    // lines is a pseudo-terminal, which has no parity and ignores it.
    struct termios applied;
    uint32_t speed;
    if (tcgetattr(port->fd, &applied) != 0 || !os_line_speed_get(port->fd, &speed))
        return false;
    speed = programmed_rate(speed, port->divisor_base);
    if (!line_took_settings(&line, dcb->BaudRate, &applied, speed, port->driver.has_modem_lines))
        return false;
    port->direction = plan.direction;
    port->character_ns = character_nanoseconds(dcb, speed);
    if (plan.direction == DIRECTION_BY_HAND_TEMT)
        os_sleep_precisely();
    return true;
}

// Closes every port the layer has open; registered with the interrupt module.
void comm_release_all(bool let_line_finish);

} // namespace

// cppcheck-suppress constParameter ; the signature is the Windows API's
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, void *security,
                   // cppcheck-suppress constParameter ; the signature is the Windows API's
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    interrupt_point();
    if (name == nullptr || security != nullptr || template_file != nullptr ||
        disposition != OPEN_EXISTING || (flags & ~(DWORD)FILE_ATTRIBUTE_NORMAL) != 0)
        return INVALID_HANDLE_VALUE;
    int mode;
    switch (access & (GENERIC_READ | GENERIC_WRITE)) {
    case GENERIC_READ | GENERIC_WRITE: mode = O_RDWR; break;
    case GENERIC_READ: mode = O_RDONLY; break;
    case GENERIC_WRITE: mode = O_WRONLY; break;
    default: return INVALID_HANDLE_VALUE;
    }

    posix_port *port = nullptr;
    for (posix_port &candidate : open_ports) {
        if (!candidate.in_use) {
            port = &candidate;
            break;
        }
    }
    char path[4096];
    if (port == nullptr || !device_path(name, path, sizeof path))
        return INVALID_HANDLE_VALUE;

    // Without O_NONBLOCK the open could wait for carrier detect.
    int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Root passes another program's TIOCEXCL at the open: ask for it, or we
    // would share its device and clear its flag at our close.
    int held = 1;
    bool usable = isatty(fd) == 1 && ioctl(fd, TIOCGEXCL, &held) == 0 && held == 0;
    bool exclusive = false;
    if (usable && share_mode == 0) {
        // Share mode 0 is exclusive: flock keeps out programs that lock too,
        // TIOCEXCL every later open() of the device.
        exclusive = flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
        usable = exclusive;
        // A COM port opens with an empty input queue: what the device sent
        // before belongs to no exchange of this program.
        // Nor does it start stopped by an XOFF received before: the write
        // would wait for an XON that may never come. TCOON alone restarts
        // only what TCOOFF stopped; after a TCOOFF it restarts either.
        if (exclusive) {
            tcflush(fd, TCIFLUSH);
            tcflow(fd, TCOOFF);
            tcflow(fd, TCOON);
        }
    }
    int status_flags = usable ? fcntl(fd, F_GETFL) : -1;
    if (status_flags < 0 || fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
        // Only a flag this open set may be cleared: it may be another's.
        if (exclusive)
            ioctl(fd, TIOCNXCL);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }

    // A run that fails after the open ends without closing (as the system
    // would on Windows, the process exit does it); release properly then.
    interrupt_on_exit(comm_release_all);

    int lines;
    port->in_use = true;
    port->fd = fd;
    port->exclusive = exclusive;
    port->driver.has_modem_lines = ioctl(fd, TIOCMGET, &lines) == 0;
    // Only a hint: the first SetCommState that asks for the mode finds out.
    port->driver.has_rs485_mode = os_rs485_answers(fd);
    bool empty;
    int queued;
    port->driver.reports_transmitter_empty = os_transmitter_empty(fd, &empty, &queued);
    port->direction = DIRECTION_NONE;
    port->character_ns = 0;
    port->divisor_base = os_divisor_base(fd);
    port->ahead_start = 0;
    port->ahead_end = 0;
    return port;
}

BOOL SetupComm(HANDLE handle, DWORD, DWORD)
{
    // The kernel sizes its own queues; there is nothing to ask for.
    return port_of(handle) != nullptr;
}

BOOL GetCommState(HANDLE handle, DCB *dcb)
{
    posix_port *port = port_of(handle);
    struct termios line;
    uint32_t speed;
    if (port == nullptr || dcb == nullptr || tcgetattr(port->fd, &line) != 0 ||
        !os_line_speed_get(port->fd, &speed))
        return FALSE;

    int lines = TIOCM_DTR | TIOCM_RTS; // a line without modem lines: both "on"
    bool rts_toggles = false;
    if (!terminal_mode(&line)) {
        if (port->driver.has_modem_lines && ioctl(port->fd, TIOCMGET, &lines) != 0)
            return FALSE;
        rts_toggles = direction_by_hand(port->direction) || os_rs485_enabled(port->fd);
    }
    dcb_from_termios(&line, speed, lines, rts_toggles, dcb);
    return TRUE;
}

BOOL SetCommState(HANDLE handle, DCB *dcb)
{
    posix_port *port = port_of(handle);
    if (port == nullptr || dcb == nullptr || !dcb_supported(dcb))
        return FALSE;
    // Settings the device refuses leave it exactly as it was, as on Windows.
    saved_line saved;
    if (!save_line(port, &saved))
        return FALSE;
    if (!apply_settings(port, dcb)) {
        restore_line(port, &saved);
        return FALSE;
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status)
{
    interrupt_point();
    posix_port *port = port_of(handle);
    if (port == nullptr)
        return FALSE;
    size_t waiting = port->ahead_end - port->ahead_start;
    if (waiting == 0) {
        int queued = 0;
        if (ioctl(port->fd, FIONREAD, &queued) != 0)
            return FALSE;
        if (queued > 0) {
            // The kernel has these bytes, so this read returns at once.
            size_t wanted = (size_t)queued < sizeof port->ahead ? (size_t)queued : sizeof port->ahead;
            ssize_t got = read(port->fd, port->ahead, wanted);
            if (got < 0 && errno != EINTR)
                return FALSE;
            port->ahead_start = 0;
            port->ahead_end = got > 0 ? (size_t)got : 0;
            waiting = (size_t)queued;
        }
    }
    // While read-ahead bytes remain, only they are counted: the kernel is not
    // asked again until the caller has taken them.
    if (errors != nullptr)
        *errors = 0;
    if (status != nullptr) {
        memset(status, 0, sizeof *status);
        status->cbInQue = (DWORD)waiting;
    }
    return TRUE;
}

// cppcheck-suppress constParameter ; the signature is the Windows API's
BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *count_read, void *overlapped)
{
    posix_port *port = port_of(handle);
    if (port == nullptr || overlapped != nullptr || (buffer == nullptr && count > 0))
        return FALSE;
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    DWORD copied = 0;
    size_t ahead = port->ahead_end - port->ahead_start;
    if (ahead > 0) {
        copied = ahead < count ? (DWORD)ahead : count;
        memcpy(bytes, port->ahead + port->ahead_start, copied);
        port->ahead_start += copied;
    }
    // Without time-outs a read waits until every byte asked for came; a line
    // that was hung up ends it early with what arrived.
    bool ok = true;
    while (copied < count) {
        ssize_t n = read(port->fd, bytes + copied, count - copied);
        if (n > 0) {
            copied += (DWORD)n;
        } else if (n == 0) {
            break;
        } else if (errno == EINTR) {
            interrupt_point();
        } else {
            ok = false;
            break;
        }
    }
    if (count_read != nullptr)
        *count_read = copied;
    return ok;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD count, DWORD *count_written,
               // cppcheck-suppress constParameter ; the signature is the Windows API's
               void *overlapped)
{
    interrupt_point();
    posix_port *port = port_of(handle);
    if (port == nullptr || overlapped != nullptr || (buffer == nullptr && count > 0))
        return FALSE;
    DWORD written = 0;
    bool ok;
    if (direction_by_hand(port->direction)) {
        // RTS stays up until the last byte left the line, then the
        // transceiver goes back to receive for the reply. The frame starts
        // now, or after what the kernel still had to send.
        ok = set_modem_line(port, TIOCM_RTS, true);
        int queued = 0;
        if (ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued < 0)
            queued = 0;
        const uint64_t frame_start_ns = monotonic_ns() + (uint64_t)queued * port->character_ns;
        ok = ok && write_all(port, static_cast<const unsigned char *>(buffer), count, &written);
        ok = ok && wait_until_sent(port, frame_start_ns + (uint64_t)count * port->character_ns);
        ok = set_modem_line(port, TIOCM_RTS, false) && ok;
    } else {
        ok = write_all(port, static_cast<const unsigned char *>(buffer), count, &written);
    }
    if (count_written != nullptr)
        *count_written = written;
    return ok;
}

BOOL CloseHandle(HANDLE handle)
{
    posix_port *port = port_of(handle);
    if (port == nullptr)
        return FALSE;
    close_port(port);
    return TRUE;
}

DWORD GetTickCount(void)
{
    interrupt_point();
    return (DWORD)(monotonic_ns() / 1000000u);
}

namespace {

void comm_release_all(bool let_line_finish)
{
    for (posix_port &port : open_ports) {
        if (!port.in_use)
            continue;
        // A frame the driver is still sending goes out whole, in its own
        // time (the output of the run failed, not the exchange).
        int queued = 0;
        if (let_line_finish && ioctl(port.fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
            const uint64_t give_up_ns =
                monotonic_ns() + (uint64_t)queued * port.character_ns + 10000000u;
            while (ioctl(port.fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
                   monotonic_ns() < give_up_ns)
                sleep_until(monotonic_ns() + port.character_ns + 100000u);
        }
        // Whatever is still open was abandoned (an interrupt, a failed open):
        // drop what the line has not sent yet, or closing a flow-stopped port
        // would wait for it.
        tcflush(port.fd, TCOFLUSH);
        if (direction_by_hand(port.direction))
            set_modem_line(&port, TIOCM_RTS, false);
        close_port(&port);
    }
}

} // namespace
