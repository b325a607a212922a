#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fake_comm.h"
#include "serial_port.h"
#include "stdout_capture.h"

namespace {

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        fake_comm_reset();
        port_baud_rate = 9600;
        port_parity_letter = 'n';
    }

    // Opens the port and returns what it printed.
    static std::string open_port(int32_t port_number, int *result)
    {
        stdout_capture_begin();
        *result = port_open(port_number);
        return stdout_capture_end();
    }

    static void open_port_quietly(void)
    {
        int result;
        open_port(1, &result);
        ASSERT_EQ(result, 0);
    }
};

TEST_F(SerialPortTest, OpenCallsTheApiAsASynchronousExclusivePort)
{
    int result;
    EXPECT_EQ(open_port(7, &result), "Opening port '\\\\.\\COM7'\n");
    EXPECT_EQ(result, 0);

    EXPECT_EQ(fake_comm.create_calls, 1);
    EXPECT_EQ(fake_comm.opened_name, "\\\\.\\COM7");
    EXPECT_EQ(fake_comm.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(fake_comm.share_mode, 0u);
    EXPECT_FALSE(fake_comm.security_given);
    EXPECT_EQ(fake_comm.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(fake_comm.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(fake_comm.template_given);
    EXPECT_EQ(fake_comm.setup_calls, 1);
    EXPECT_EQ(fake_comm.setup_in_queue, 1500u);
    EXPECT_EQ(fake_comm.setup_out_queue, 1500u);
    EXPECT_EQ(fake_comm.set_state_calls, 1);
    EXPECT_EQ(fake_comm.close_calls, 0);
}

// Each failure has its own result and message; from the device name on,
// "Opening port" comes first, and nothing is ever closed.
TEST_F(SerialPortTest, OpenFailuresReportTheirCause)
{
    const struct {
        int32_t port_number;
        bool FakeComm::*failing_call;
        int result;
        const char *output;
    } cases[] = {
        {257, nullptr, 1, "Invalid port number\n"},
        {INT32_MAX, nullptr, 1, "Invalid port number\n"},
        {256, &FakeComm::create_fails, 2, "Opening port '\\\\.\\COM256'\nError opening port\n"},
        {0, &FakeComm::create_fails, 2, "Opening port '\\\\.\\COM0'\nError opening port\n"},
        {-1, &FakeComm::create_fails, 2, "Opening port '\\\\.\\COM-1'\nError opening port\n"},
        {INT32_MIN, &FakeComm::create_fails, 2,
         "Opening port '\\\\.\\COM-2147483648'\nError opening port\n"},
        {1, &FakeComm::setup_fails, 3,
         "Opening port '\\\\.\\COM1'\nError opening port (buffer setup)\n"},
        {1, &FakeComm::get_state_fails, 4,
         "Opening port '\\\\.\\COM1'\nError opening port (DCB Get)\n"},
        {1, &FakeComm::set_state_fails, 5,
         "Opening port '\\\\.\\COM1'\nError setting port parameters (SetCommState)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        fake_comm_reset_failing(c.failing_call);
        int result;
        EXPECT_EQ(open_port(c.port_number, &result), c.output);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(fake_comm.create_calls, c.result == 1 ? 0 : 1);
        EXPECT_EQ(fake_comm.set_state_calls, c.result == 5 ? 1 : 0);
        EXPECT_EQ(fake_comm.close_calls, 0);
    }
}

// The record as bytes, so a whole-record comparison names every byte.
std::string record_bytes(const DCB &dcb)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&dcb);
    std::string text;
    for (size_t i = 0; i < sizeof dcb; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X ", bytes[i]);
        text += hex;
    }
    return text;
}

// A device whose every field, flag and reserved bit holds a telling value;
// the inverted fill gives each kept flag the other state.
DCB patterned_device(bool inverted)
{
    DCB device;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(&device);
    for (size_t i = 0; i < sizeof device; i++) {
        const unsigned char pattern = static_cast<unsigned char>(i * 29 + 7);
        bytes[i] = inverted ? static_cast<unsigned char>(~pattern) : pattern;
    }
    return device;
}

// Only baud rate, parity (for o, e and n), stop bits, data bits and RTS
// control change; flow control, DTR, fParity, XON/XOFF and the rest are
// written back exactly as the device reported them.
TEST_F(SerialPortTest, SettingsChangeOnlyTheLineFields)
{
    const int keep = -1;
    const struct {
        char letter;
        int parity;
    } letters[] = {{'e', EVENPARITY}, {'E', EVENPARITY}, {'o', ODDPARITY}, {'O', ODDPARITY},
                   {'n', NOPARITY},   {'N', NOPARITY},   {'\0', keep},      {'m', keep},
                   {'s', keep},       {'2', keep},       {'\xC5', keep}};
    for (const auto &l : letters) {
        for (int rts_before : {RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE}) {
            for (bool inverted : {false, true}) {
                SCOPED_TRACE(testing::Message() << "letter " << static_cast<int>(l.letter)
                                                << ", RTS control " << rts_before
                                                << (inverted ? ", inverted fill" : ""));
                fake_comm_reset();
                fake_comm.device_settings = patterned_device(inverted);
                fake_comm.device_settings.fRtsControl = static_cast<DWORD>(rts_before) & 3u;
                port_baud_rate = 19200;
                port_parity_letter = l.letter;

                open_port_quietly();

                DCB expected = fake_comm.device_settings;
                expected.BaudRate = 19200;
                if (l.parity != keep) {
                    expected.Parity = static_cast<BYTE>(l.parity);
                }
                expected.StopBits = ONESTOPBIT;
                expected.ByteSize = 8;
                expected.fRtsControl = RTS_CONTROL_TOGGLE;
                EXPECT_EQ(record_bytes(fake_comm.written_settings), record_bytes(expected));
            }
        }
    }
}

TEST_F(SerialPortTest, BaudRateGoesToTheDeviceBitForBit)
{
    const struct {
        int32_t baud_rate;
        DWORD written;
    } cases[] = {{9600, 9600}, {250000, 250000}, {0, 0}, {INT32_MAX, 0x7FFFFFFF},
                 {INT32_MIN, 0x80000000u}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.baud_rate);
        fake_comm_reset();
        port_baud_rate = c.baud_rate;
        open_port_quietly();
        EXPECT_EQ(fake_comm.written_settings.BaudRate, c.written);
    }
}

// One WriteFile per send, never continued; only a complete write succeeds.
TEST_F(SerialPortTest, SendSucceedsOnlyWhenEveryByteWasWritten)
{
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00};
    const struct {
        const char *name;
        int32_t count;
        bool scripted;
        FakeWriteResult write;
        int result;
    } cases[] = {
        {"complete", 5, false, {TRUE, 5}, 0},
        {"short", 5, true, {TRUE, 4}, 1},
        {"nothing written", 5, true, {TRUE, 0}, 1},
        {"failed though counted", 5, true, {FALSE, 5}, 1},
        {"empty frame", 0, false, {TRUE, 0}, 0},
        {"empty frame failed", 0, true, {FALSE, 0}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_comm_reset();
        open_port_quietly();
        if (c.scripted) {
            fake_comm.write_results[1] = c.write;
        }
        stdout_capture_begin();
        const int result = port_send(frame, c.count);
        EXPECT_EQ(stdout_capture_end(), "");
        EXPECT_EQ(result, c.result);
        const std::vector<std::vector<uint8_t>> one_write = {
            std::vector<uint8_t>(frame, frame + c.count)};
        EXPECT_EQ(fake_comm.writes, one_write);
    }
}

TEST_F(SerialPortTest, PollHandsOutWaitingBytesOneAtATimeAsUnsignedValues)
{
    open_port_quietly();
    EXPECT_EQ(port_poll_byte(), -1);
    EXPECT_EQ(fake_comm.read_calls, 0) << "an empty queue must not be read";

    fake_comm.replies = {{0x00, 0}, {0xFF, 0}, {0x80, 0}};
    EXPECT_EQ(port_poll_byte(), 0x00);
    EXPECT_EQ(port_poll_byte(), 0xFF);
    EXPECT_EQ(port_poll_byte(), 0x80);
    EXPECT_EQ(port_poll_byte(), -1);
    EXPECT_EQ(fake_comm.read_calls, 3);
}

TEST_F(SerialPortTest, PollFailuresHaveTheirOwnCodes)
{
    const struct {
        bool FakeComm::*failing_call;
        int result;
        int read_calls;
    } cases[] = {
        {&FakeComm::clear_error_fails, -2, 0},
        {&FakeComm::read_fails, -3, 1},
        {&FakeComm::read_gets_nothing, -4, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.result);
        fake_comm_reset();
        open_port_quietly();
        fake_comm.replies = {{0x41, 0}};
        fake_comm.*c.failing_call = true;
        stdout_capture_begin();
        EXPECT_EQ(port_poll_byte(), c.result);
        EXPECT_EQ(stdout_capture_end(), "");
        EXPECT_EQ(fake_comm.read_calls, c.read_calls);
    }
}

TEST_F(SerialPortTest, CloseReleasesTheOpenedHandle)
{
    open_port_quietly();
    port_close();
    EXPECT_EQ(fake_comm.close_calls, 1);
    EXPECT_EQ(fake_comm.closed_handle, fake_port_handle);
}

} // namespace
