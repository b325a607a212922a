#include "posix/interrupt.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

volatile sig_atomic_t interrupt_pending_signal = 0;

namespace {

// How long standard output may still take after a signal: a reader that does
// not read must not keep the process from ending.
const int64_t GRACE_NS = int64_t{100} * 1000000;

sigset_t handled_signals;
bool handlers_installed = false;
void (*registered_release)(bool) = nullptr;
bool release_at_exit_registered = false;
// When the recorded signal came (CLOCK_MONOTONIC); written by the handler
// before it records the signal.
struct timespec signal_time;

void on_signal(int signal_number)
{
    // A second signal while the first is being handled ends the process at
    // once.
    if (interrupt_pending_signal != 0) {
        signal(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    clock_gettime(CLOCK_MONOTONIC, &signal_time);
    interrupt_pending_signal = signal_number;
}

void release(bool let_line_finish)
{
    if (registered_release != nullptr)
        registered_release(let_line_finish);
}

// A run that ends with a port still open (a failed exchange, a failed open)
// releases it as the system would on Windows.
void release_at_exit(void)
{
    release(false);
}

// A signal that came after the last check, while the run was ending.
void finish_late_interrupt(void)
{
    interrupt_point();
}

bool ends_the_process(int signal_number)
{
    switch (signal_number) {
    case SIGHUP:
    case SIGINT:
    case SIGQUIT:
    case SIGTERM:
    case SIGUSR1:
    case SIGUSR2:
    case SIGALRM:
    case SIGVTALRM:
    case SIGPROF:
    case SIGIO:
    case SIGXCPU:
    case SIGXFSZ:
    case SIGPWR:
    case SIGSTKFLT:
        return true;
    default:
        return signal_number >= SIGRTMIN && signal_number <= SIGRTMAX;
    }
}

} // namespace

void interrupt_setup(void)
{
    if (handlers_installed)
        return;
    handlers_installed = true;
    sigemptyset(&handled_signals);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked write must come back to us
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        if (!ends_the_process(signal_number))
            continue;
        struct sigaction previous;
        // A signal the caller chose to ignore (nohup, a background job) stays
        // ignored.
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal_number, &action, nullptr) == 0)
            sigaddset(&handled_signals, signal_number);
    }
    signal(SIGPIPE, SIG_IGN);
    atexit(finish_late_interrupt);
}

void interrupt_on_exit(void (*release_function)(bool let_line_finish))
{
    registered_release = release_function;
    if (!release_at_exit_registered)
        release_at_exit_registered = atexit(release_at_exit) == 0;
}

void interrupt_finish(void)
{
    int signal_number = interrupt_pending_signal;
    // From here on a further signal ends the process at once.
    for (int handled = 1; handled <= SIGRTMAX; ++handled)
        if (sigismember(&handled_signals, handled) == 1)
            signal(handled, SIG_DFL);
    release(false);
    fflush(stdout);
    raise(signal_number);
    // cppcheck-suppress unreachableCode ; raise returns while the signal is blocked
    _exit(128 + signal_number); // only if the signal could not end the process
}

void interrupt_exit(int status, const char *message)
{
    release(true);
    if (message != nullptr) {
        size_t left = strlen(message);
        while (left > 0) {
            ssize_t n = write(STDERR_FILENO, message, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            message += n;
            left -= (size_t)n;
        }
    }
    _exit(status);
}

int interrupt_wait(int fd, short events)
{
    // The handled signals are blocked until ppoll itself waits, so one that
    // comes just before the wait still cuts it short.
    sigset_t previous;
    if (sigprocmask(SIG_BLOCK, &handled_signals, &previous) != 0)
        return -1;
    struct pollfd ready = {fd, events, 0};
    int result;
    for (;;) {
        struct timespec left;
        const struct timespec *timeout = nullptr;
        if (interrupt_pending_signal != 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const int64_t elapsed = (int64_t)(now.tv_sec - signal_time.tv_sec) * 1000000000 +
                                    (now.tv_nsec - signal_time.tv_nsec);
            if (elapsed >= GRACE_NS) {
                result = 0;
                break;
            }
            left.tv_sec = 0;
            left.tv_nsec = (long)(GRACE_NS - elapsed);
            timeout = &left;
        }
        result = ppoll(&ready, 1, timeout, &previous);
        if (result >= 0 || errno != EINTR)
            break;
    }
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    return result;
}
