// The signals that end the process (Ctrl+C, SIGTERM, SIGHUP and every other
// one whose default is to end it, but the faults and SIGPIPE). The handler
// only records the signal; the layer acts on it at its next call (the reply
// capture calls it continuously, and a write blocked on the line returns
// early), where it is safe to deliver standard output and release the port
// before the process ends by that signal.
//
// This module knows neither the console nor the layer: the layer registers
// the release of its ports here, and standard output is delivered through
// the C library's stdout.
#ifndef KOBREL_POSIX_INTERRUPT_H
#define KOBREL_POSIX_INTERRUPT_H

#include <signal.h>

extern volatile sig_atomic_t interrupt_pending_signal;

// Handles every ending signal that the caller did not set to be ignored, and
// ignores SIGPIPE (a reader that left shows as a failed write). Once.
void interrupt_setup(void);

// Registers the release of whatever the layer holds open, called on every way
// out: an interrupt, the end of the run, a failed output. With
// let_line_finish, bytes the line still has to send go out first (within
// their own time); an interrupt drops them. One release; the last one given
// counts.
void interrupt_on_exit(void (*release)(bool let_line_finish));

// Delivers what was printed, releases the port and ends the process by the
// recorded signal. Does not return.
[[noreturn]] void interrupt_finish(void);

// Releases the port, writes message (when not null) to standard error and
// ends the process with status, without delivering anything more of standard
// output.
[[noreturn]] void interrupt_exit(int status, const char *message);

// Waits until fd is ready for events (poll's), for as long as that takes;
// once an ending signal has come, only until its grace time is over (the
// process must end soon after a signal). Returns > 0 when ready (or in error:
// the next call on fd tells), 0 when the grace time is over, < 0 on failure.
int interrupt_wait(int fd, short events);

inline void interrupt_point(void)
{
    if (interrupt_pending_signal != 0)
        interrupt_finish();
}

#endif
