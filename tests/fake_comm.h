// A scripted stand-in for the communications API, so the tool's modules run
// in the unit tests without a device: each test says which call fails, what
// the device reports and when reply bytes arrive, and reads back what the
// tool passed in.
#ifndef KOBREL_TESTS_FAKE_COMM_H
#define KOBREL_TESTS_FAKE_COMM_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "comm_api.h"

// A reply byte becomes readable once the clock has reached arrives_at.
struct FakeReplyByte {
    uint8_t value;
    DWORD arrives_at;
};

struct FakeWriteResult {
    BOOL result;
    DWORD count_written;
};

struct FakeComm {
    // Script.
    bool create_fails;
    bool setup_fails;
    bool get_state_fails;
    bool set_state_fails;
    bool clear_error_fails;
    bool read_fails;
    bool read_gets_nothing; // ReadFile succeeds but reads 0 bytes
    DCB device_settings;    // what GetCommState reports
    // By WriteFile call number, counted from 1; other calls write everything.
    std::map<int, FakeWriteResult> write_results;
    std::vector<FakeReplyByte> replies; // in arrival order
    // The tick counter: every GetTickCount call first advances it by
    // tick_step, then returns it.
    DWORD clock;
    DWORD tick_step;

    // Record.
    int create_calls;
    std::string opened_name;
    DWORD access;
    DWORD share_mode;
    bool security_given;
    DWORD disposition;
    DWORD flags;
    bool template_given;
    int setup_calls;
    DWORD setup_in_queue;
    DWORD setup_out_queue;
    int set_state_calls;
    DCB written_settings; // the record passed to the last SetCommState
    std::vector<std::vector<uint8_t>> writes; // every WriteFile payload
    size_t replies_read;
    int read_calls;
    int close_calls;
    HANDLE closed_handle;
};

extern FakeComm fake_comm;

// The handle a successful CreateFileA returns.
extern const HANDLE fake_port_handle;

// Everything succeeds, no reply, the clock at 0 stepping by 1, and a device
// that reports a typical COM port's settings.
void fake_comm_reset(void);

// The same, with one call scripted to fail (none when failing_call is null).
void fake_comm_reset_failing(bool FakeComm::*failing_call);

#endif
