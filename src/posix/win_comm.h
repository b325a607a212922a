// The part of the Windows communications API that the serial port module and
// the driver use, declared for POSIX systems and provided by win_comm.cpp over
// termios. Types, field names and constants keep the Windows spelling so the
// port module compiles unchanged on both; only what the tool needs is here.
#ifndef KOBREL_POSIX_WIN_COMM_H
#define KOBREL_POSIX_WIN_COMM_H

#include <stdint.h>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef void *HANDLE;
typedef const char *LPCSTR;
// Only ever null here.
typedef void *LPSECURITY_ATTRIBUTES;
typedef void *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// CreateFileA arguments
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

// DCB.Parity
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

// DCB.StopBits
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// DCB.fDtrControl
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2

// DCB.fRtsControl
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

// The device settings record. The flag bits share one 32-bit word in this
// order, so fRtsControl is bits 12 and 13 as on Windows.
typedef struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB;

typedef struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT;

// Only the synchronous forms are provided: security attributes, template
// file and OVERLAPPED records must be null.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL SetupComm(HANDLE port, DWORD in_queue, DWORD out_queue);
BOOL GetCommState(HANDLE port, DCB *dcb);
BOOL SetCommState(HANDLE port, DCB *dcb);
BOOL ClearCommError(HANDLE port, DWORD *errors, COMSTAT *status);
BOOL ReadFile(HANDLE port, void *buffer, DWORD count, DWORD *count_read, void *overlapped);
BOOL WriteFile(HANDLE port, const void *buffer, DWORD count, DWORD *count_written,
               void *overlapped);
BOOL CloseHandle(HANDLE port);
DWORD GetTickCount(void);

#endif
