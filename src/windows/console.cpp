// Standard output on Windows: the C runtime's text stream (each LF leaves as
// CR LF), written at once to a console and in large blocks to a file or pipe.
// And the console's interrupts (Ctrl+C, Ctrl+Break, closing the window),
// which must not lose what was printed to a redirected output.
#include "console.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t FILE_BUFFER_SIZE = 64 * 1024;

volatile LONG interrupt_seen = 0;

// Runs on a thread of its own that the system starts for the event, while the
// run goes on. The lock on standard output waits for a printf in progress to
// finish and keeps anything later from being printed; what was printed is
// handed to the system, and the process ends as the system's own handling
// would end it, releasing the port with every other handle.
BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    // A second interrupt while the first waits (say, for a pipe nobody reads)
    // ends the process at once.
    if (InterlockedExchange(&interrupt_seen, 1) == 0) {
        _lock_file(stdout);
        fflush(stdout);
    }
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// Output that could not be written (a full disk, a reader that went away)
// must not pass for a run that succeeded: status 2, with the reason unless
// the reader simply left. Runs before the C runtime's own last flush.
void check_output_at_exit(void)
{
    if (fflush(stdout) == 0 && ferror(stdout) == 0)
        return;
    const int error = errno;
    if (error != EPIPE) {
        fprintf(stderr, "kobrel: cannot write the output: %s\n", strerror(error));
        fflush(stderr);
    }
    _exit(2);
}

bool is_console(FILE *stream)
{
    DWORD mode = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return GetConsoleMode(handle, &mode) != 0;
}

} // namespace

void console_setup(void)
{
    _setmode(_fileno(stdout), _O_TEXT);
    if (is_console(stdout)) {
        setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        setvbuf(stdout, nullptr, _IOFBF, FILE_BUFFER_SIZE);
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
    atexit(check_output_at_exit);
}
