// Standard output as the Windows build delivers it: a text stream whose line
// feeds leave as CR LF, written at once to a terminal and in large blocks to
// a file or pipe. And the interrupt signals, which must not lose that output.
#include "console.h"

#include "posix/interrupt.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

volatile sig_atomic_t interrupt_pending_signal = 0;

namespace {

const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

bool write_all(const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, data, size);
        if (n > 0) {
            data += n;
            size -= (size_t)n;
        } else if (n < 0 && errno != EINTR) {
            // An interrupt lands here when a pipe is full; the flag is acted on
            // once this block is out, which is what the interrupt wants anyway.
            return false;
        }
    }
    return true;
}

ssize_t write_text(void *, const char *data, size_t size)
{
    // Most blocks are byte echoes with no line feed: they pass as they are.
    if (memchr(data, '\n', size) == nullptr)
        return write_all(data, size) ? (ssize_t)size : -1;
    char translated[8192];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof translated) {
            if (!write_all(translated, used))
                return -1;
            used = 0;
        }
        if (data[i] == '\n')
            translated[used++] = '\r';
        translated[used++] = data[i];
    }
    return write_all(translated, used) ? (ssize_t)size : -1;
}

void on_interrupt(int signal_number)
{
    // A second interrupt while the first is being handled (say, standard
    // output is a pipe nobody reads) ends the process at once.
    if (interrupt_pending_signal != 0) {
        signal(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    interrupt_pending_signal = signal_number;
}

// An interrupt that came after the last check, while the run was ending.
void finish_late_interrupt(void)
{
    interrupt_point();
}

} // namespace

void interrupt_finish(void)
{
    int signal_number = interrupt_pending_signal;
    for (int interrupt_signal : interrupt_signals)
        signal(interrupt_signal, SIG_DFL);
    comm_release_all();
    fflush(stdout);
    raise(signal_number);
    // cppcheck-suppress unreachableCode ; raise returns while the signal is blocked
    _exit(128 + signal_number); // only if the signal could not end the process
}

void console_setup(void)
{
    cookie_io_functions_t text_stream = {nullptr, write_text, nullptr, nullptr};
    FILE *text = fopencookie(nullptr, "w", text_stream);
    if (text != nullptr) {
        if (isatty(STDOUT_FILENO))
            setvbuf(text, nullptr, _IONBF, 0);
        else
            setvbuf(text, nullptr, _IOFBF, size_t{64} * 1024);
        stdout = text;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked write must come back to us
    for (int interrupt_signal : interrupt_signals) {
        struct sigaction previous;
        // A signal the caller chose to ignore (nohup, a background job) stays
        // ignored.
        if (sigaction(interrupt_signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(interrupt_signal, &action, nullptr);
    }
    // A reader that went away loses the output, not the exchange: the write
    // fails and the run goes on to close the port, as on Windows.
    signal(SIGPIPE, SIG_IGN);
    atexit(finish_late_interrupt);
}
