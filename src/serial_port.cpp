#include "serial_port.h"

#include <stdio.h>

#include "comm_api.h"

int32_t port_baud_rate;
char port_parity_letter;

// The open port: valid from a successful port_open until port_close.
static HANDLE port_handle;
static DCB port_settings;

int port_open(int32_t port_number)
{
    if (port_number > 256) {
        printf("Invalid port number\n");
        return 1;
    }

    // The longest name, for port -2147483648, takes 18 characters.
    char device_name[52];
    snprintf(device_name, sizeof device_name, "\\\\.\\COM%d", port_number);
    printf("Opening port '%s'\n", device_name);

    port_handle = CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (port_handle == INVALID_HANDLE_VALUE) {
        printf("Error opening port\n");
        return 2;
    }
    if (!SetupComm(port_handle, 1500, 1500)) {
        printf("Error opening port (buffer setup)\n");
        return 3;
    }
    if (!GetCommState(port_handle, &port_settings)) {
        printf("Error opening port (DCB Get)\n");
        return 4;
    }
    if (port_apply_settings() != 0) {
        return 5;
    }
    return 0;
}

int port_apply_settings(void)
{
    port_settings.BaudRate = static_cast<DWORD>(static_cast<uint32_t>(port_baud_rate));
    switch (port_parity_letter) {
    case 'e':
    case 'E':
        port_settings.Parity = EVENPARITY;
        break;
    case 'o':
    case 'O':
        port_settings.Parity = ODDPARITY;
        break;
    case 'n':
    case 'N':
        port_settings.Parity = NOPARITY;
        break;
    default:
        // Mark, space or a parity the device was left with: keep it.
        break;
    }
    port_settings.StopBits = ONESTOPBIT;
    port_settings.ByteSize = 8;
    // RS-485 direction control: RTS is raised only while sending.
    port_settings.fRtsControl = RTS_CONTROL_TOGGLE;

    if (!SetCommState(port_handle, &port_settings)) {
        printf("Error setting port parameters (SetCommState)\n");
        return 1;
    }
    return 0;
}

int port_send(const uint8_t *bytes, int32_t count)
{
    const DWORD to_write = static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(port_handle, bytes, to_write, &written, NULL) || written != to_write) {
        return 1;
    }
    return 0;
}

int port_poll_byte(void)
{
    DWORD errors = 0;
    COMSTAT status = {};
    // Line errors (framing, parity, overrun) are cleared here and not reported.
    if (!ClearCommError(port_handle, &errors, &status)) {
        return -2;
    }
    // Reading only what is already queued keeps the read from waiting.
    if (status.cbInQue == 0) {
        return -1;
    }
    uint8_t byte = 0;
    DWORD count_read = 0;
    if (!ReadFile(port_handle, &byte, 1, &count_read, NULL)) {
        return -3;
    }
    if (count_read != 1) {
        return -4;
    }
    return byte;
}

void port_close(void)
{
    CloseHandle(port_handle);
}
