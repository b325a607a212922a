// The serial port module and the driver are written against the Windows
// communications API. On Windows that is the system's own; elsewhere a small
// layer of ours provides the same calls over termios.
#ifndef KOBREL_COMM_API_H
#define KOBREL_COMM_API_H

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include "posix/win_comm.h"
#endif

#endif
