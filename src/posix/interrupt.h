// Ctrl+C, SIGTERM and SIGHUP. The handler only records the signal; the layer
// acts on it at its next call (the reply capture calls it continuously, and a
// write blocked on the line returns early), where it is safe to flush standard
// output and release the port before the process ends as interrupted.
#ifndef KOBREL_POSIX_INTERRUPT_H
#define KOBREL_POSIX_INTERRUPT_H

#include <signal.h>

extern volatile sig_atomic_t interrupt_pending_signal;

// Delivers what was printed, releases the port and ends the process by the
// recorded signal. Does not return.
[[noreturn]] void interrupt_finish(void);

inline void interrupt_point(void)
{
    if (interrupt_pending_signal != 0)
        interrupt_finish();
}

// Closes every port the layer has open; called on the way out of an interrupt.
void comm_release_all(void);

#endif
