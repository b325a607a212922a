// Loaded into QEMU (LD_PRELOAD) to give its emulated 16550 a wire time.
//
// QEMU hands each transmitted byte to the chardev at once, so the emulated
// transmitter is empty microseconds after the guest filled it, and every
// wait for "transmitter empty" looks perfect. Here the socket that carries
// the line refuses a byte until its stop bit would have left at the rate
// the guest programmed, and hides its writability from QEMU's main loop
// until then. QEMU's serial model then retries the byte when the socket
// turns writable: its FIFO drains one character per character time, and
// THRE and TEMT rise when a real UART's would.
//
// Environment:
//   KOBREL_RIG_LINE       path of the Unix socket QEMU connects to as the line
//   KOBREL_RIG_WIRE_LOG   file that gets one line per byte at the moment its
//                         stop bit ended: "<seconds>.<microseconds> <hex>"
//   KOBREL_RIG_PARAMS_FD  descriptor that gets "<baud> <parity> <data> <stop>"
//                         each time the guest programs the line, and "mark"
//                         each time it writes the scratch register (the
//                         rig's markers between exchanges)
// The rate comes from QEMU's own serial_update_parameters trace event, which
// therefore must be enabled.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <errno.h>

namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int line_fd = -1;
int64_t character_ns = 1041667; // 9600 8N1 until the guest says otherwise
int64_t line_free_at = 0;       // when the last stop bit ended
int64_t byte_done_at = 0;       // stop bit of the byte on the wire; 0: none
int64_t last_left_at = 0;       // when QEMU was last let write a byte
// QEMU takes the next byte from its FIFO right after one was written: that
// byte was waiting, and a UART starts it at the stop bit before, however
// late the main loop woke up. This bound tells such a byte from one the
// guest wrote later.
const int64_t FROM_FIFO_NS = 20000;
FILE *wire_log = nullptr;
int params_fd = -1;

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int64_t now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

__attribute__((constructor)) void start()
{
    // The main loop's wake-ups are the wire's edges: no timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL);
    const char *log_path = getenv("KOBREL_RIG_WIRE_LOG");
    if (log_path != nullptr)
        wire_log = fopen(log_path, "w");
    const char *fd = getenv("KOBREL_RIG_PARAMS_FD");
    if (fd != nullptr)
        params_fd = atoi(fd);
}

// Whether a byte may go now; when not, how long until it may.
bool byte_may_leave(int64_t *wait_ns)
{
    int64_t now = now_ns();
    if (byte_done_at == 0) {
        bool waited_in_fifo = now - last_left_at < FROM_FIFO_NS;
        byte_done_at = (waited_in_fifo || now < line_free_at ? line_free_at : now) + character_ns;
    }
    *wait_ns = byte_done_at - now;
    return *wait_ns <= 0;
}

// The wire log gets the moment the stop bit ended by the line's own clock,
// which the main loop may have noticed a little later.
void byte_left(const void *data, ssize_t sent)
{
    if (sent <= 0)
        return;
    const int64_t stop_bit_end = byte_done_at;
    line_free_at = byte_done_at;
    byte_done_at = 0;
    last_left_at = now_ns();
    if (wire_log != nullptr) {
        struct timeval t;
        gettimeofday(&t, nullptr);
        int64_t wall_us = int64_t{t.tv_sec} * 1000000 + t.tv_usec - (last_left_at - stop_bit_end) / 1000;
        const unsigned char *bytes = static_cast<const unsigned char *>(data);
        for (ssize_t i = 0; i < sent; i++)
            fprintf(wire_log, "%lld.%06lld %02x\n", static_cast<long long>(wall_us / 1000000),
                    static_cast<long long>(wall_us % 1000000), bytes[i]);
        fflush(wire_log);
    }
}

// One byte at a time, each when its time has come.
template <typename Send> ssize_t paced_send(const void *first_byte, size_t size, Send send_bytes)
{
    pthread_mutex_lock(&lock);
    int64_t wait_ns;
    ssize_t sent;
    if (size == 0) {
        sent = send_bytes(size_t{0});
    } else if (!byte_may_leave(&wait_ns)) {
        errno = EAGAIN;
        sent = -1;
    } else {
        sent = send_bytes(size_t{1});
        byte_left(first_byte, sent);
    }
    pthread_mutex_unlock(&lock);
    return sent;
}

void tell_rig(const char *line, size_t length)
{
    if (params_fd >= 0 && write(params_fd, line, length) < 0) {
        // the rig's reader went away; nothing to tell
    }
}

void parameters_traced(const char *text)
{
    const char *at = strstr(text, "serial_update_parameters ");
    if (at == nullptr)
        return;
    unsigned long baud = 0;
    char parity = 'N';
    int data = 8, stop = 1;
    if (sscanf(at, "serial_update_parameters baudrate=%lu parity='%c' data=%d stop=%d", &baud,
               &parity, &data, &stop) != 4 ||
        baud == 0)
        return;
    pthread_mutex_lock(&lock);
    int bits = 1 + data + (parity == 'N' ? 0 : 1) + stop;
    character_ns = static_cast<int64_t>(1000000000.0 * bits / static_cast<double>(baud));
    pthread_mutex_unlock(&lock);
    char line[64];
    int length = snprintf(line, sizeof line, "%lu %c %d %d\n", baud, parity, data, stop);
    tell_rig(line, static_cast<size_t>(length));
}

void look_at_trace(const char *format, va_list arguments)
{
    const bool parameters = strstr(format, "serial_update_parameters") != nullptr;
    if (!parameters && strstr(format, "serial_write") == nullptr)
        return;
    char text[256];
    va_list copy;
    va_copy(copy, arguments);
    vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (parameters)
        parameters_traced(text);
    else if (strstr(text, "write addr 0x07 ") != nullptr)
        tell_rig("mark\n", 5);
}

// Takes POLLOUT from the line's entries while its byte is still on the wire;
// returns how many entries it changed (their indices in hidden).
size_t hide_line_writability(struct pollfd *fds, nfds_t count, nfds_t hidden[], size_t room,
                             int64_t *wait_ns)
{
    size_t changed = 0;
    if (line_fd < 0)
        return 0;
    for (nfds_t i = 0; i < count && changed < room; i++) {
        if (fds[i].fd == line_fd && (fds[i].events & POLLOUT) != 0) {
            pthread_mutex_lock(&lock);
            bool may = byte_done_at == 0 || byte_may_leave(wait_ns);
            pthread_mutex_unlock(&lock);
            if (!may) {
                fds[i].events = static_cast<short>(fds[i].events & ~POLLOUT);
                hidden[changed++] = i;
            }
        }
    }
    return changed;
}

} // namespace

extern "C" {

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    int result = real<int (*)(int, const struct sockaddr *, socklen_t)>("connect")(fd, address, length);
    const char *line = getenv("KOBREL_RIG_LINE");
    if (result == 0 && line != nullptr && address->sa_family == AF_UNIX) {
        const struct sockaddr_un *unix_address = reinterpret_cast<const struct sockaddr_un *>(address);
        if (strcmp(unix_address->sun_path, line) == 0)
            line_fd = fd;
    }
    return result;
}

ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    static auto real_sendmsg = real<ssize_t (*)(int, const struct msghdr *, int)>("sendmsg");
    if (fd != line_fd || message->msg_iovlen == 0)
        return real_sendmsg(fd, message, flags);
    return paced_send(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, [&](size_t n) {
        struct iovec one = {message->msg_iov[0].iov_base, n};
        struct msghdr single = *message;
        single.msg_iov = &one;
        single.msg_iovlen = 1;
        return real_sendmsg(fd, &single, flags);
    });
}

ssize_t send(int fd, const void *data, size_t size, int flags)
{
    static auto real_send = real<ssize_t (*)(int, const void *, size_t, int)>("send");
    if (fd != line_fd)
        return real_send(fd, data, size, flags);
    return paced_send(data, size, [&](size_t n) { return real_send(fd, data, n, flags); });
}

ssize_t write(int fd, const void *data, size_t size)
{
    static auto real_write = real<ssize_t (*)(int, const void *, size_t)>("write");
    if (fd != line_fd)
        return real_write(fd, data, size);
    return paced_send(data, size, [&](size_t n) { return real_write(fd, data, n); });
}

ssize_t writev(int fd, const struct iovec *vectors, int count)
{
    static auto real_writev = real<ssize_t (*)(int, const struct iovec *, int)>("writev");
    if (fd != line_fd || count == 0)
        return real_writev(fd, vectors, count);
    return paced_send(vectors[0].iov_base, vectors[0].iov_len, [&](size_t n) {
        struct iovec one = {vectors[0].iov_base, n};
        return real_writev(fd, &one, 1);
    });
}

int ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask)
{
    static auto real_ppoll =
        real<int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *)>("ppoll");
    nfds_t hidden[8];
    int64_t wait_ns = 0;
    size_t hidden_count = hide_line_writability(fds, count, hidden, 8, &wait_ns);
    if (hidden_count == 0)
        return real_ppoll(fds, count, timeout, mask);
    // Wake up when the byte's stop bit has left, to show the socket again.
    struct timespec until = {static_cast<time_t>(wait_ns / 1000000000),
                             static_cast<long>(wait_ns % 1000000000)};
    if (timeout != nullptr && (timeout->tv_sec < until.tv_sec ||
                               (timeout->tv_sec == until.tv_sec && timeout->tv_nsec < until.tv_nsec)))
        until = *timeout;
    int result = real_ppoll(fds, count, &until, mask);
    for (size_t i = 0; i < hidden_count; i++)
        fds[hidden[i]].events = static_cast<short>(fds[hidden[i]].events | POLLOUT);
    return result;
}

int poll(struct pollfd *fds, nfds_t count, int timeout_ms)
{
    struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return ppoll(fds, count, timeout_ms < 0 ? nullptr : &timeout, nullptr);
}

int __vfprintf_chk(FILE *stream, int flag, const char *format, va_list arguments)
{
    static auto real_chk = real<int (*)(FILE *, int, const char *, va_list)>("__vfprintf_chk");
    look_at_trace(format, arguments);
    return real_chk(stream, flag, format, arguments);
}

int vfprintf(FILE *stream, const char *format, va_list arguments)
{
    static auto real_vfprintf = real<int (*)(FILE *, const char *, va_list)>("vfprintf");
    look_at_trace(format, arguments);
    return real_vfprintf(stream, format, arguments);
}

} // extern "C"
