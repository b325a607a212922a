// A 16550 test rig: kobrel on the Linux 8250 driver in a QEMU VM, with the
// emulated transmitter paced to the programmed rate (wire_pacing.cpp), and a
// device on the host end of the line.
//
// One boot runs a guest script (the shell functions `exchange NAME ARGS...`
// and `run NAME COMMAND...` of guest_init.sh) and returns what the guest left
// in /out, QEMU's trace of the UART's registers and the time each byte's stop
// bit left the emulated UART. The analysis cuts that into exchanges at the
// guest's markers and tells where RTS moved against the bytes on the wire.
#ifndef KOBREL_TESTS_UART_RIG_H
#define KOBREL_TESTS_UART_RIG_H

#include <map>
#include <string>
#include <vector>

struct rig_setup {
    std::string script; // shell text, run by the guest's /init
    // The device: answers the frame of each exchange with these bytes at t3.5
    // after its last byte (the fastest answer Modbus RTU allows); none: silent.
    std::vector<unsigned char> reply;
    // Or, when set, kobrel-sim with these options is the device, bridged to
    // the line.
    bool bridge_to_sim = false;
    std::vector<std::string> sim_options;
};

struct rig_line_setting {
    double time; // seconds, wall clock as in QEMU's trace
    unsigned long baud;
    char parity; // 'N', 'E', 'O' (QEMU's letters)
    int data_bits;
    int stop_bits;
};

struct rig_register_write {
    double time;
    unsigned address; // offset from the UART's base, 0-7
    unsigned value;
};

struct rig_wire_byte {
    double stop_bit_end; // seconds: when its stop bit left the UART
    unsigned char value;
};

struct rig_boot_result {
    std::string error; // empty when the VM ran its script and reported
    std::map<std::string, std::string> files; // the guest's /out
    std::vector<rig_line_setting> settings;
    std::vector<rig_register_write> writes;
    std::vector<rig_wire_byte> wire;
    std::vector<double> markers;     // time of marker n at [n - 1]
    std::vector<std::string> names;  // name of exchange n at [n - 1]
};

// Whether the rig can run here: QEMU, the kernel and the guest image exist.
bool rig_available(std::string *why_not);

rig_boot_result rig_boot(const rig_setup &setup);

// QEMU's trace of the UART into the result's settings, register writes and
// markers.
void rig_parse_trace(const std::string &text, rig_boot_result *result);

// One exchange: what happened between its marker and the next.
struct rig_exchange {
    bool found = false;
    std::vector<rig_line_setting> settings; // programmed during it
    std::vector<rig_register_write> writes; // every register write during it
    std::vector<rig_wire_byte> wire;        // bytes that left the UART during it
    double begin = 0, end = 0;
};

rig_exchange rig_exchange_named(const rig_boot_result &boot, const std::string &name);

// The line as the driver last programmed it up to the end of an exchange.
bool rig_setting_at(const rig_boot_result &boot, double time, rig_line_setting *setting);

// RTS against the frame of one exchange, at the line as it was programmed
// when the frame began.
struct rig_turnaround {
    bool frame_seen = false; // bytes left the UART, on a programmed line
    bool rts_up_before_first_byte = false; // raised before the first start bit
    bool rts_down_inside_frame = false;    // dropped before the last stop bit
    bool byte_with_rts_low = false;
    bool rts_dropped = false;
    double character_s = 0; // one character at the programmed line
    double drop_after_s = 0; // RTS drop after the last stop bit (negative: inside)
    double t35_s = 0;        // 3.5 characters, 1.75 ms above 19200 baud
};

rig_turnaround rig_turnaround_of(const rig_boot_result &boot, const rig_exchange &exchange);

// How long RTS stayed up from the first time it rose in an exchange (the
// kernel raises it when the device is opened) until it first fell.
bool rig_rts_up_after_open(const rig_exchange &exchange, double *seconds);

#endif
