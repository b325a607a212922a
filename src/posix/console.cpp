// Standard output as the Windows build delivers it: a text stream whose line
// feeds leave as CR LF, written at once to a terminal and in large blocks to
// a file or pipe. Output that cannot be written ends the run (status 2):
// a run whose output is lost must not pass for one that succeeded.
#include "console.h"

#include "posix/interrupt.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Descriptor 1 was closed when the run started (now /dev/null holds it).
bool output_closed = false;
// Set once a signal's grace time ran out: the rest of the output is dropped,
// never written again by a later flush.
bool output_abandoned = false;

// A standard descriptor that is closed would be taken by the next open(),
// the port's: the tool's text would go down the serial line.
void fill_closed_standard_descriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor: this one.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (fd == STDOUT_FILENO)
            output_closed = true;
    }
}

[[noreturn]] void output_failed(const char *reason)
{
    char message[256];
    snprintf(message, sizeof message, "kobrel: cannot write the output: %s\n", reason);
    interrupt_exit(2, message);
}

// Writes every byte, waiting for an output that is full (a pipe, a terminal,
// also one left non-blocking by its owner); after a signal, only as long as
// its grace time lasts. Pieces of at most PIPE_BUF: once poll says a pipe has
// room, such a write never blocks, so a signal is never stuck behind it.
bool write_all(const char *data, size_t size)
{
    if (output_closed)
        output_failed("standard output is closed");
    while (size > 0 && !output_abandoned) {
        const int ready = interrupt_wait(STDOUT_FILENO, POLLOUT);
        if (ready == 0) {
            output_abandoned = true;
            break;
        }
        ssize_t n = ready > 0 ? write(STDOUT_FILENO, data, size < PIPE_BUF ? size : PIPE_BUF) : -1;
        if (n > 0) {
            data += n;
            size -= (size_t)n;
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            // After a signal the process ends by it in any case.
            if (interrupt_pending_signal != 0) {
                output_abandoned = true;
                break;
            }
            // A reader that left: Unix tools end quietly.
            if (errno == EPIPE)
                interrupt_exit(2, nullptr);
            output_failed(strerror(errno));
        }
    }
    // What is abandoned counts as written: the stream must not keep it to
    // try again.
    return true;
}

ssize_t write_text(void *, const char *data, size_t size)
{
    // Most blocks are byte echoes with no line feed: they pass as they are.
    if (memchr(data, '\n', size) == nullptr) {
        write_all(data, size);
        return (ssize_t)size;
    }
    char translated[8192];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof translated) {
            write_all(translated, used);
            used = 0;
        }
        if (data[i] == '\n')
            translated[used++] = '\r';
        translated[used++] = data[i];
    }
    write_all(translated, used);
    return (ssize_t)size;
}

} // namespace

void console_setup(void)
{
    fill_closed_standard_descriptors();
    interrupt_setup();

    cookie_io_functions_t text_stream = {nullptr, write_text, nullptr, nullptr};
    FILE *text = fopencookie(nullptr, "w", text_stream);
    if (text != nullptr) {
        if (isatty(STDOUT_FILENO))
            setvbuf(text, nullptr, _IONBF, 0);
        else
            setvbuf(text, nullptr, _IOFBF, size_t{64} * 1024);
        stdout = text;
    }
}
