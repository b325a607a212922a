#include "fake_comm.h"

#include <string.h>

FakeComm fake_comm;

const HANDLE fake_port_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5EED));

void fake_comm_reset(void)
{
    fake_comm = FakeComm{};
    fake_comm.tick_step = 1;

    DCB &device = fake_comm.device_settings;
    device.DCBlength = sizeof(DCB);
    device.BaudRate = 9600;
    device.fBinary = 1;
    device.fDtrControl = DTR_CONTROL_ENABLE;
    device.fRtsControl = RTS_CONTROL_ENABLE;
    device.ByteSize = 8;
    device.Parity = NOPARITY;
    device.StopBits = ONESTOPBIT;
    device.XonChar = 0x11;
    device.XoffChar = 0x13;
}

void fake_comm_reset_failing(bool FakeComm::*failing_call)
{
    fake_comm_reset();
    if (failing_call != nullptr) {
        fake_comm.*failing_call = true;
    }
}

// Wrap-safe: true when the clock is at or past the tick (within half the range).
static bool clock_reached(DWORD tick)
{
    return static_cast<uint32_t>(fake_comm.clock - tick) < 0x80000000u;
}

static DWORD replies_waiting(void)
{
    DWORD waiting = 0;
    for (size_t i = fake_comm.replies_read; i < fake_comm.replies.size(); i++) {
        if (!clock_reached(fake_comm.replies[i].arrives_at)) {
            break;
        }
        waiting++;
    }
    return waiting;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    fake_comm.create_calls++;
    fake_comm.opened_name = name;
    fake_comm.access = access;
    fake_comm.share_mode = share_mode;
    fake_comm.security_given = security != NULL;
    fake_comm.disposition = disposition;
    fake_comm.flags = flags;
    fake_comm.template_given = template_file != NULL;
    return fake_comm.create_fails ? INVALID_HANDLE_VALUE : fake_port_handle;
}

BOOL SetupComm(HANDLE, DWORD in_queue, DWORD out_queue)
{
    fake_comm.setup_calls++;
    fake_comm.setup_in_queue = in_queue;
    fake_comm.setup_out_queue = out_queue;
    return fake_comm.setup_fails ? FALSE : TRUE;
}

BOOL GetCommState(HANDLE, DCB *dcb)
{
    if (fake_comm.get_state_fails) {
        return FALSE;
    }
    *dcb = fake_comm.device_settings;
    return TRUE;
}

BOOL SetCommState(HANDLE, DCB *dcb)
{
    fake_comm.set_state_calls++;
    fake_comm.written_settings = *dcb;
    return fake_comm.set_state_fails ? FALSE : TRUE;
}

BOOL ClearCommError(HANDLE, DWORD *errors, COMSTAT *status)
{
    if (fake_comm.clear_error_fails) {
        return FALSE;
    }
    *errors = 0;
    memset(status, 0, sizeof *status);
    status->cbInQue = replies_waiting();
    return TRUE;
}

BOOL ReadFile(HANDLE, void *buffer, DWORD count, DWORD *count_read, LPOVERLAPPED)
{
    fake_comm.read_calls++;
    *count_read = 0;
    if (fake_comm.read_fails) {
        return FALSE;
    }
    if (fake_comm.read_gets_nothing) {
        return TRUE;
    }
    // Hands out up to count of the bytes that have arrived, as a device would.
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    const DWORD waiting = replies_waiting();
    while (*count_read < count && *count_read < waiting) {
        bytes[*count_read] = fake_comm.replies[fake_comm.replies_read].value;
        (*count_read)++;
        fake_comm.replies_read++;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE, const void *buffer, DWORD count, DWORD *count_written, LPOVERLAPPED)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    fake_comm.writes.emplace_back(bytes, bytes + count);
    const auto scripted = fake_comm.write_results.find(static_cast<int>(fake_comm.writes.size()));
    if (scripted == fake_comm.write_results.end()) {
        *count_written = count;
        return TRUE;
    }
    *count_written = scripted->second.count_written;
    return scripted->second.result;
}

BOOL CloseHandle(HANDLE port)
{
    fake_comm.close_calls++;
    fake_comm.closed_handle = port;
    return TRUE;
}

DWORD GetTickCount(void)
{
    fake_comm.clock += fake_comm.tick_step;
    return fake_comm.clock;
}
