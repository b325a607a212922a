// kobrel on a real serial driver: the Linux 8250 driver and an emulated
// 16550 in a VM, whose transmitter takes the programmed wire time per byte.
// What a pseudo-terminal cannot show is checked here: the line as the driver
// programs the UART (divisor, parity, framing), RTS against the bytes on the
// wire, and the exclusive open of a real tty. Each group of checks shares
// one boot.
#include "uart_rig.h"

#include "byte_echo.h"
#include "console_probe.h"
#include "modbus_frame.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using bytes = std::vector<unsigned char>;

const bytes read_one_register = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const char read_one_register_tokens[] = "1 3 0 0 0 1 CRC1 CRC2";
const bytes meter_answer = with_crc({0x01, 0x03, 0x02, 0x00, 0x2A});

// The 104 bytes of the longest frame: 0, 1, ... 103.
std::string long_frame_tokens()
{
    std::string tokens;
    for (int i = 0; i < 104; i++)
        tokens += (i > 0 ? " " : "") + std::to_string(i);
    return tokens;
}

bytes long_frame()
{
    bytes frame;
    for (int i = 0; i < 104; i++)
        frame.push_back(static_cast<unsigned char>(i));
    return frame;
}

std::string exchange_text(const bytes &frame, const bytes &reply)
{
    return with_crlf("Opening port '\\\\.\\COM2'\n") + "Sending data:\r\r\n" + byte_echo(frame) +
           "\r\r\nWaiting for data (timeout of 200 ms):\r\r\n" + byte_echo(reply) + "\r\r\n";
}

std::string refused_text()
{
    return with_crlf("Opening port '\\\\.\\COM2'\nError setting port parameters (SetCommState)\n");
}

const char turnaround_runs[][16] = {"e9600_1", "e9600_2", "e9600_3", "n115200_1", "n115200_2",
                                    "n115200_3", "long104"};

// One boot serves a group of checks: the VM runs the group's setup once,
// and each test reads what it left.
template <rig_setup (*make_setup)()> class RigBoot : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why_not;
        if (!rig_available(&why_not)) {
            skipped = why_not;
            return;
        }
        boot = new rig_boot_result(rig_boot(make_setup()));
    }
    static void TearDownTestSuite()
    {
        delete boot;
        boot = nullptr;
    }
    void SetUp() override
    {
        if (!skipped.empty())
            GTEST_SKIP() << skipped;
        ASSERT_EQ(boot->error, "");
    }

    static rig_exchange exchange(const std::string &name)
    {
        rig_exchange e = rig_exchange_named(*boot, name);
        EXPECT_TRUE(e.found) << name;
        return e;
    }
    static std::string output(const std::string &name) { return boot->files[name + ".out"]; }
    static std::string status(const std::string &name) { return boot->files[name + ".status"]; }

    static std::string skipped;
    static rig_boot_result *boot;
};

template <rig_setup (*make_setup)()> std::string RigBoot<make_setup>::skipped;
template <rig_setup (*make_setup)()> rig_boot_result *RigBoot<make_setup>::boot = nullptr;

// A device that answers each frame at t3.5; the settings, the turnaround,
// refused rates and a held port.
rig_setup line_setup()
{
    rig_setup setup;
    setup.reply = meter_answer;
    const std::string frame = std::string(" ") + read_one_register_tokens;
    setup.script = "exchange e9600_1 2 9600 e" + frame + "\n"
                   "exchange e9600_2 2 9600 E" + frame + "\n"
                   "exchange e9600_3 2 9600 even" + frame + "\n"
                   "exchange o19200 2 19200 o" + frame + "\n"
                   "exchange kept 2 9600 x" + frame + "\n"
                   "exchange n115200_1 2 115200 n" + frame + "\n"
                   "exchange n115200_2 2 115200 N" + frame + "\n"
                   "exchange n115200_3 2 115200 n" + frame + "\n"
                   "exchange long104 2 115200 n " + long_frame_tokens() + "\n"
                   "exchange refused250000 2 250000 e 1\n"
                   "exchange refused31250 2 31250 e 1\n"
                   "run hold rig-guest hold /dev/ttyS1 flock\n"
                   "exchange held 2 9600 n 1\n"
                   "run release killall rig-guest\n"
                   "exchange released 2 9600 n" + frame + "\n";
    return setup;
}

class RigLine : public RigBoot<line_setup> {
};

// The line control register as last written outside the divisor latch, and
// the divisor latch as last written.
struct programmed_uart {
    unsigned line_control = 0;
    unsigned divisor = 0;
};

programmed_uart programmed(const rig_exchange &exchange)
{
    programmed_uart uart;
    bool latch = false;
    unsigned low = 0, high = 0;
    for (const rig_register_write &write : exchange.writes) {
        if (write.address == 3) {
            latch = (write.value & 0x80) != 0;
            if (!latch)
                uart.line_control = write.value;
        } else if (latch && write.address == 0) {
            low = write.value;
        } else if (latch && write.address == 1) {
            high = write.value;
        }
    }
    uart.divisor = high * 256 + low;
    return uart;
}

TEST_F(RigLine, ModbusReadThroughTheDriverIsExact)
{
    for (const char *name : {"e9600_1", "e9600_2", "e9600_3", "o19200", "kept", "n115200_1",
                             "n115200_2", "n115200_3", "released"}) {
        EXPECT_EQ(output(name), exchange_text(read_one_register, meter_answer)) << name;
        EXPECT_EQ(status(name), "0\n") << name;
        EXPECT_EQ(exchange(name).wire.size(), read_one_register.size()) << name;
    }
    EXPECT_EQ(output("long104"), exchange_text(long_frame(), meter_answer));
}

TEST_F(RigLine, FrameLeavesTheUartAsWritten)
{
    for (const char *name : {"e9600_1", "long104"}) {
        bytes sent;
        for (const rig_wire_byte &byte : exchange(name).wire)
            sent.push_back(byte.value);
        EXPECT_EQ(sent, std::string(name) == "long104" ? long_frame() : read_one_register) << name;
    }
}

// The rig's own premise: the emulated transmitter takes a character time
// per byte at the programmed rate, so the timing checks mean something. No
// byte leaves faster than the wire allows; the median gap is one character
// (a guest slowed down by a busy host may refill the FIFO late now and then).
TEST_F(RigLine, WireTakesTheProgrammedTime)
{
    for (const char *name : {"e9600_1", "long104"}) {
        rig_exchange e = exchange(name);
        ASSERT_GE(e.wire.size(), 8u) << name;
        const rig_turnaround t = rig_turnaround_of(*boot, e);
        ASSERT_TRUE(t.frame_seen) << name;
        const double character = t.character_s;
        std::vector<double> gaps;
        for (size_t i = 1; i < e.wire.size(); i++)
            gaps.push_back(e.wire[i].stop_bit_end - e.wire[i - 1].stop_bit_end);
        std::sort(gaps.begin(), gaps.end());
        // The trace's clock has whole microseconds.
        EXPECT_GT(gaps.front(), 0.95 * character - 2e-6) << name;
        EXPECT_LT(gaps[gaps.size() / 2], 1.1 * character) << name;
    }
}

TEST_F(RigLine, LineIsProgrammedAsAsked)
{
    // Line control: 8 data bits and one stop bit (0x03), parity enable 0x08,
    // even 0x10 (which means nothing without parity, so it is not checked then).
    const struct {
        const char *name;
        unsigned long baud;
        char parity;
        unsigned line_control;
        unsigned checked_bits;
        unsigned divisor; // of the 1.8432 MHz clock: 115200 / baud
    } cases[] = {
        {"e9600_1", 9600, 'E', 0x1B, 0x3F, 12},  {"e9600_3", 9600, 'E', 0x1B, 0x3F, 12},
        {"o19200", 19200, 'O', 0x0B, 0x3F, 6},   {"kept", 9600, 'O', 0x0B, 0x3F, 12},
        {"n115200_1", 115200, 'N', 0x03, 0x2F, 1},
    };
    for (const auto &c : cases) {
        rig_exchange e = exchange(c.name);
        ASSERT_FALSE(e.settings.empty()) << c.name;
        const rig_line_setting &last = e.settings.back();
        EXPECT_EQ(last.baud, c.baud) << c.name;
        EXPECT_EQ(last.parity, c.parity) << c.name;
        EXPECT_EQ(last.data_bits, 8) << c.name;
        EXPECT_EQ(last.stop_bits, 1) << c.name;
        programmed_uart uart = programmed(e);
        EXPECT_EQ(uart.line_control & c.checked_bits, c.line_control) << c.name;
        EXPECT_EQ(uart.divisor, c.divisor) << c.name;
    }
}

// Generous margins: the checks are about order, and about RTS being down
// before a device may answer; the figures are the benchmark's. An emulated
// guest is sometimes held up by its host for a few milliseconds, so each
// exchange has 5 ms at most (waiting with tcdrain takes 8-11 ms at 115200),
// and their median must be within t3.5.
TEST_F(RigLine, RtsFramesEveryByteAndDropsBeforeTheAnswer)
{
    std::vector<double> margins; // drop as a share of t3.5
    for (const char *name : turnaround_runs) {
        rig_exchange e = exchange(name);
        ASSERT_FALSE(e.wire.empty()) << name;
        rig_turnaround t = rig_turnaround_of(*boot, e);
        ASSERT_TRUE(t.frame_seen) << name;
        EXPECT_TRUE(t.rts_up_before_first_byte) << name;
        EXPECT_FALSE(t.rts_down_inside_frame) << name;
        EXPECT_FALSE(t.byte_with_rts_low) << name;
        ASSERT_TRUE(t.rts_dropped) << name;
        const std::string figure = std::string(name) + ": RTS fell " + std::to_string(t.drop_after_s * 1e6) +
                                   " us after the last stop bit (" +
                                   std::to_string(t.drop_after_s / t.character_s) + " characters)";
        EXPECT_LT(t.drop_after_s, std::max(t.t35_s, 0.005)) << figure;
        margins.push_back(t.drop_after_s / t.t35_s);
    }
    std::sort(margins.begin(), margins.end());
    EXPECT_LT(margins[margins.size() / 2], 1.0) << "median drop / t3.5";
}

TEST_F(RigLine, RefusedRateLeavesTheLineAsItWas)
{
    for (const char *name : {"refused250000", "refused31250"}) {
        EXPECT_EQ(output(name), refused_text()) << name;
        EXPECT_EQ(status(name), "10\n") << name;
        rig_exchange e = exchange(name);
        rig_line_setting before, after;
        ASSERT_TRUE(rig_setting_at(*boot, e.begin, &before));
        ASSERT_TRUE(rig_setting_at(*boot, e.end, &after));
        EXPECT_EQ(after.baud, before.baud) << name;
        EXPECT_EQ(after.parity, before.parity) << name;
        EXPECT_TRUE(e.wire.empty()) << name;
    }
}

TEST_F(RigLine, HeldTtyIsNotOpened)
{
    EXPECT_EQ(status("hold"), "0\n") << output("hold");
    EXPECT_EQ(output("held"), with_crlf("Opening port '\\\\.\\COM2'\nError opening port\n"));
    EXPECT_EQ(status("held"), "10\n");
    EXPECT_TRUE(exchange("held").wire.empty());
}

// The markers that cut the trace into exchanges: the lead byte 0x4B, then
// the exchange's number, which may be 0x4B itself.
TEST(RigTrace, MarkersAreFoundWhateverTheirNumber)
{
    std::string trace;
    int second = 0;
    for (unsigned number : {74u, 75u, 76u}) {
        for (unsigned value : {0x4Bu, number}) {
            char line[96];
            snprintf(line, sizeof line, "1@100.%06d:serial_write write addr 0x07 val 0x%02x\n", ++second,
                     value);
            trace += line;
        }
    }
    rig_boot_result result;
    rig_parse_trace(trace, &result);
    ASSERT_EQ(result.markers.size(), 76u);
    EXPECT_DOUBLE_EQ(result.markers[73], 100.000002);
    EXPECT_DOUBLE_EQ(result.markers[74], 100.000004);
    EXPECT_DOUBLE_EQ(result.markers[75], 100.000006);
}

// kobrel-sim as the device, its libmodbus server behind the real driver.
rig_setup modbus_setup()
{
    rig_setup setup;
    setup.bridge_to_sim = true;
    setup.script = "exchange read9600 2 9600 n 1 3 0 0 0 2 CRC1 CRC2\n"
                   "exchange read115200 2 115200 n 1 3 0 5 0 2 CRC1 CRC2\n";
    return setup;
}

class RigModbus : public RigBoot<modbus_setup> {
};

TEST_F(RigModbus, HoldingRegistersReadExactly)
{
    EXPECT_EQ(output("read9600"),
              exchange_text({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B},
                            with_crc({0x01, 0x03, 0x04, 0x10, 0x00, 0x10, 0x01})));
    EXPECT_EQ(output("read115200"),
              exchange_text(with_crc({0x01, 0x03, 0x00, 0x05, 0x00, 0x02}),
                            with_crc({0x01, 0x03, 0x04, 0x10, 0x05, 0x10, 0x06})));
    EXPECT_EQ(status("read9600"), "0\n");
    EXPECT_EQ(status("read115200"), "0\n");
    EXPECT_NE(boot->files["sim"].find("received 01 03 00 00 00 02 C4 0B (CRC good)"), std::string::npos)
        << boot->files["sim"];
}

} // namespace
