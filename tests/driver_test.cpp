#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "byte_echo.h"
#include "fake_comm.h"
#include "serial_port.h"
#include "stdout_capture.h"

// The tool's entry point, renamed for the tests.
int kobrel_main(int argc, char *argv[]);

namespace {

const std::string USAGE =
    "Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]";
const std::string OPENING_COM1 = "Opening port '\\\\.\\COM1'\n";
const std::string OPENING_COM3 = "Opening port '\\\\.\\COM3'\n";
const std::string SENDING = "Sending data:\r\n";

typedef std::vector<uint8_t> Bytes;

struct RunResult {
    int status;
    std::string output;
};

// Runs the tool with the given arguments after the program name.
RunResult run_kobrel(const std::vector<std::string> &arguments)
{
    std::vector<std::string> words = {"kobrel"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    stdout_capture_begin();
    const int status = kobrel_main(static_cast<int>(words.size()), argv.data());
    return {status, stdout_capture_end()};
}

// What one exchange prints after "Sending data:".
std::string exchange_output(const std::string &frame_echo, int window_ms,
                            const std::string &reply_echo)
{
    return frame_echo + "\r\nWaiting for data (timeout of " + std::to_string(window_ms) +
           " ms):\r\n" + reply_echo + "\r\n";
}

class DriverTest : public testing::Test {
protected:
    void SetUp() override { fake_comm_reset(); }
};

const std::vector<std::string> READ_HOLDING_REGISTER = {"1", "3", "0", "0", "0", "1", "CRC1", "CRC2"};
const Bytes READ_HOLDING_REGISTER_FRAME = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};

std::vector<std::string> with_line(std::vector<std::string> line,
                                   const std::vector<std::string> &tokens)
{
    line.insert(line.end(), tokens.begin(), tokens.end());
    return line;
}

TEST_F(DriverTest, NormalRunPrintsFrameAndReply)
{
    fake_comm.replies = {{0x01, 5}, {0x03, 6}, {0x02, 7}, {0x00, 8}, {0xFF, 9}};

    const RunResult run = run_kobrel(with_line({"3", "9600", "e"}, READ_HOLDING_REGISTER));

    EXPECT_EQ(run.output, OPENING_COM3 + SENDING +
                              exchange_output(byte_echo(READ_HOLDING_REGISTER_FRAME), 200,
                                              "0x01, 0x03, 0x02, 0x00, 0xFF, "));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{READ_HOLDING_REGISTER_FRAME});
    EXPECT_EQ(fake_comm.written_settings.BaudRate, 9600u);
    EXPECT_EQ(fake_comm.written_settings.Parity, EVENPARITY);
    EXPECT_EQ(fake_comm.close_calls, 1);
}

TEST_F(DriverTest, ThreeArgumentsSendAnEmptyFrame)
{
    const RunResult run = run_kobrel({"3", "9600", "n"});

    EXPECT_EQ(run.output, OPENING_COM3 + SENDING + exchange_output("", 200, ""));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{Bytes{}});
    EXPECT_EQ(fake_comm.close_calls, 1);
}

TEST_F(DriverTest, UsageWithoutTheThreeLeadingArguments)
{
    const std::vector<std::vector<std::string>> cases = {{}, {"3"}, {"3", "9600"}};
    for (const auto &arguments : cases) {
        SCOPED_TRACE(arguments.size());
        fake_comm_reset();
        const RunResult run = run_kobrel(arguments);
        EXPECT_EQ(run.output, USAGE);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(fake_comm.create_calls, 0);
    }
}

TEST_F(DriverTest, AtMost104DataBytes)
{
    std::vector<std::string> tokens;
    Bytes frame;
    for (int i = 0; i < 104; i++) {
        tokens.push_back(std::to_string(i));
        frame.push_back(static_cast<uint8_t>(i));
    }
    RunResult run = run_kobrel(with_line({"1", "9600", "n"}, tokens));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{frame});

    fake_comm_reset();
    tokens.push_back("104");
    run = run_kobrel(with_line({"1", "9600", "n"}, tokens));
    EXPECT_EQ(run.output, "Too many data bytes: 105 (at most 104)\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(fake_comm.create_calls, 0);
}

TEST_F(DriverTest, RepeatModeSendsTheSameFrameTenTimes)
{
    const RunResult run = run_kobrel(with_line({"3", "-9600", "n"}, READ_HOLDING_REGISTER));

    std::string expected = OPENING_COM3 + SENDING;
    for (int i = 0; i < 10; i++) {
        expected += exchange_output(byte_echo(READ_HOLDING_REGISTER_FRAME), 1, "");
    }
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake_comm.writes, std::vector<Bytes>(10, READ_HOLDING_REGISTER_FRAME));
    EXPECT_EQ(fake_comm.written_settings.BaudRate, 9600u);
    EXPECT_EQ(fake_comm.close_calls, 1);
    // Each capture ends at the first tick after its start.
    EXPECT_EQ(fake_comm.clock, 20u);
}

// The baud argument is a decimal token: its magnitude goes to the device, a
// negative value selects ten exchanges with a 1 ms window.
TEST_F(DriverTest, BaudArgumentSetsSpeedAndRepeatMode)
{
    const struct {
        const char *argument;
        DWORD baud_rate;
        size_t exchanges;
    } cases[] = {
        {"19200", 19200, 1},          {"0", 0, 1},
        {"-1", 1, 10},                {"-2147483648", 0x80000000u, 10},
        {"2147483648", 0x80000000u, 10}, {"4294967297", 1, 1},
        {"-4294967297", 1, 10},       {"9600baud", 9600, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        fake_comm_reset();
        const RunResult run = run_kobrel({"1", c.argument, "n", "7"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fake_comm.written_settings.BaudRate, c.baud_rate);
        EXPECT_EQ(fake_comm.writes.size(), c.exchanges);
        const std::string window = c.exchanges > 1 ? "(timeout of 1 ms)" : "(timeout of 200 ms)";
        EXPECT_NE(run.output.find(window), std::string::npos) << run.output;
    }
}

TEST_F(DriverTest, PortAndParityArguments)
{
    const int keep = -1;
    const struct {
        const char *port;
        const char *parity;
        const char *device_name;
        int parity_written;
    } cases[] = {
        {"3", "e", "\\\\.\\COM3", EVENPARITY},   {"3abc", "even", "\\\\.\\COM3", EVENPARITY},
        {"COM3", "o", "\\\\.\\COM0", ODDPARITY}, {" +12", "None", "\\\\.\\COM12", NOPARITY},
        {"-1", "", "\\\\.\\COM-1", keep},        {"256", "mark", "\\\\.\\COM256", keep},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        fake_comm_reset();
        fake_comm.device_settings.Parity = MARKPARITY;
        const RunResult run = run_kobrel({c.port, "9600", c.parity, "1"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fake_comm.opened_name, c.device_name);
        EXPECT_EQ(fake_comm.written_settings.Parity, c.parity_written == keep ? MARKPARITY : c.parity_written);
    }
}

TEST_F(DriverTest, SendFailureInTheFourthRepeatEndsTheRun)
{
    fake_comm.write_results[4] = {FALSE, 0};

    const RunResult run = run_kobrel(with_line({"3", "-9600", "n"}, READ_HOLDING_REGISTER));

    const std::string frame_echo = byte_echo(READ_HOLDING_REGISTER_FRAME);
    std::string expected = OPENING_COM3 + SENDING;
    for (int i = 0; i < 3; i++) {
        expected += exchange_output(frame_echo, 1, "");
    }
    expected += frame_echo + "\r\n**Error writing to COM3\r\n";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(fake_comm.writes.size(), 4u) << "the fifth exchange must not start";
    EXPECT_EQ(fake_comm.close_calls, 1);
}

TEST_F(DriverTest, ShortWriteEndsTheRunNamingTheSignedPort)
{
    fake_comm.write_results[1] = {TRUE, 1};

    const RunResult run = run_kobrel({"-1", "9600", "n", "1", "2"});

    EXPECT_EQ(run.output, "Opening port '\\\\.\\COM-1'\n" + SENDING +
                              "0x01, 0x02, \r\n**Error writing to COM-1\r\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(fake_comm.close_calls, 1);
}

TEST_F(DriverTest, PortOpenFailureEndsWithStatus10)
{
    // The port's own messages are checked with the port module; the run
    // must add nothing to them, send nothing and close nothing.
    const struct {
        int32_t port;
        bool FakeComm::*failing_call;
    } cases[] = {
        {257, nullptr},
        {1, &FakeComm::create_fails},
        {1, &FakeComm::setup_fails},
        {1, &FakeComm::get_state_fails},
        {1, &FakeComm::set_state_fails},
    };
    for (const auto &c : cases) {
        fake_comm_reset_failing(c.failing_call);
        stdout_capture_begin();
        port_open(c.port);
        const std::string port_output = stdout_capture_end();
        SCOPED_TRACE(port_output);

        fake_comm_reset_failing(c.failing_call);
        const RunResult run = run_kobrel({std::to_string(c.port), "9600", "n", "1", "CRC1"});
        EXPECT_EQ(run.output, port_output);
        EXPECT_EQ(run.status, 10);
        EXPECT_TRUE(fake_comm.writes.empty());
        EXPECT_EQ(fake_comm.close_calls, 0);
    }
}

// A token prints as its whole 32-bit value; the frame gets its low byte.
TEST_F(DriverTest, DataTokenConversion)
{
    const struct {
        const char *token;
        const char *printed;
        uint8_t byte;
    } cases[] = {
        {"5", "0x05, ", 0x05},
        {"256", "0x100, ", 0x00},
        {"300", "0x12C, ", 0x2C},
        {"-1", "0xFFFFFFFF, ", 0xFF},
        {"+7", "0x07, ", 0x07},
        {"-0", "0x00, ", 0x00},
        {"4294967297", "0x01, ", 0x01},
        {"4294967296", "0x00, ", 0x00},
        {"2147483648", "0x80000000, ", 0x00},
        {"-2147483649", "0x7FFFFFFF, ", 0xFF},
        {"99999999999", "0x4876E7FF, ", 0xFF},
        {"12abc", "0x0C, ", 0x0C},
        {" \t\n\v\f\r42", "0x2A, ", 0x2A},
        {"\xA0" "42", "0x00, ", 0x00},  // no-break space is not white space
        {"+-7", "0x00, ", 0x00},
        {"- 7", "0x00, ", 0x00},
        {"abc", "0x00, ", 0x00},
        {"", "0x00, ", 0x00},
        {"0X1f", "0x1F, ", 0x1F},
        {"0xff", "0xFF, ", 0xFF},
        {"0x1Fz", "0x1F, ", 0x1F},
        {"0x7FFFFFFF", "0x7FFFFFFF, ", 0xFF},
        {"0x7ffffffe", "0x7FFFFFFE, ", 0xFE},
        {"0x80000000", "0x7FFFFFFF, ", 0xFF},
        {"0xFFFFFFFF", "0x7FFFFFFF, ", 0xFF},
        {"0x100000000", "0x7FFFFFFF, ", 0xFF},
        {"0x0000000000000012", "0x12, ", 0x12},
        {"0x", "0x00, ", 0x00},
        {"0x-5", "0x00, ", 0x00},
        {"0x 5", "0x00, ", 0x00},
        {"0xg1", "0x00, ", 0x00},
        {" 0x10", "0x00, ", 0x00},  // a blank first: decimal, which stops at the x
        {"CRC12", "0x00, ", 0x00},
        {"CRC", "0x00, ", 0x00},
        {"CRC1 ", "0x00, ", 0x00},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.token)));
        fake_comm_reset();
        const RunResult run = run_kobrel({"1", "9600", "n", c.token});
        EXPECT_EQ(run.output, OPENING_COM1 + SENDING + exchange_output(c.printed, 200, ""));
        EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{Bytes{c.byte}});
    }
}

// Placeholders take the checksum of the numeric bytes before them in the
// frame; they are never folded in themselves.
TEST_F(DriverTest, ChecksumPlaceholders)
{
    const struct {
        std::vector<std::string> tokens;
        Bytes frame;
    } cases[] = {
        {READ_HOLDING_REGISTER, READ_HOLDING_REGISTER_FRAME},
        {{"0x11", "0x03", "0x00", "0x6B", "0x00", "0x03", "CRC1", "CRC2"},
         {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}},
        {{"1", "3", "0", "0", "0", "1", "0x84", "0x0A", "CRC1", "CRC2"},
         {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A, 0x00, 0x00}},
        {{"CRC1", "CRC2"}, {0xFF, 0xFF}},
        {{"CRC2", "1", "CRC1", "CRC2"}, {0xFF, 0x01, 0x7E, 0x80}},
        {{"1", "CRC1", "CRC1", "CRC2", "CRC2"}, {0x01, 0x7E, 0x7E, 0x80, 0x80}},
        {{"1", "crc1", "Crc1", "cRC2", "crc2"}, {0x01, 0x7E, 0x7E, 0x80, 0x80}},
        {{"1", "CRC1", "2", "CRC2"}, {0x01, 0x7E, 0x02, 0xE1}},
        {{"abc", "CRC1", "CRC2"}, {0x00, 0xBF, 0x40}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.tokens));
        fake_comm_reset();
        const RunResult run = run_kobrel(with_line({"1", "9600", "n"}, c.tokens));
        EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{c.frame});
        EXPECT_EQ(run.output, OPENING_COM1 + SENDING + exchange_output(byte_echo(c.frame), 200, ""));
    }
}

// Tokens whose values need more than a byte print whole but fold in only
// their low byte: the checksum of 300 equals the checksum of 44.
TEST_F(DriverTest, PlaceholdersSeeOnlyTheLowByteOfWideValues)
{
    const RunResult run = run_kobrel({"1", "9600", "n", "300", "CRC1", "CRC2", "0x100000000", "CRC1"});
    EXPECT_EQ(run.output,
              OPENING_COM1 + SENDING + exchange_output("0x12C, 0xBE, 0x9D, 0x7FFFFFFF, 0x5D, ", 200, ""));
    const Bytes frame = {0x2C, 0xBE, 0x9D, 0xFF, 0x5D};
    EXPECT_EQ(fake_comm.writes, std::vector<Bytes>{frame});
}

// The clock starts at `start` and steps 1 per GetTickCount call, so the
// capture's window starts at start + 1; after a byte read at tick t the
// window restarts at t + 1. The second start value puts the 32-bit wrap of
// the tick counter inside the first window.
TEST_F(DriverTest, ReplyWindowIsTheSilenceAfterTheLastByte)
{
    const struct {
        const char *name;
        std::vector<FakeReplyByte> arrivals; // ticks after start
        const char *reply_echo;
        DWORD end; // the tick at which the capture ended, after start
    } cases[] = {
        {"no reply: one window after the start", {}, "", 201},
        {"bytes 199 ms after each restart keep it going",
         {{0x00, 10}, {0x7F, 210}, {0xFF, 410}},
         "0x00, 0x7F, 0xFF, ",
         611},
        {"a byte due as the window closes is missed", {{0x00, 10}, {0x7F, 211}}, "0x00, ", 211},
        {"a burst restarts the window per byte", {{0x11, 10}, {0x22, 10}, {0x33, 10}},
         "0x11, 0x22, 0x33, ", 215},
    };
    for (DWORD start : {0x00000000u, 0xFFFFFF80u}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", clock from " << start);
            fake_comm_reset();
            fake_comm.clock = start;
            for (FakeReplyByte reply : c.arrivals) {
                reply.arrives_at += start;
                fake_comm.replies.push_back(reply);
            }
            const RunResult run = run_kobrel({"1", "9600", "n", "1"});
            EXPECT_EQ(run.output, OPENING_COM1 + SENDING + exchange_output("0x01, ", 200, c.reply_echo));
            EXPECT_EQ(static_cast<DWORD>(fake_comm.clock - start), c.end);
        }
    }
}

// A poll that fails is no byte: the window is not restarted and nothing is
// printed.
TEST_F(DriverTest, FailedPollsLetTheWindowPass)
{
    for (bool FakeComm::*failing_call :
         {&FakeComm::clear_error_fails, &FakeComm::read_fails, &FakeComm::read_gets_nothing}) {
        fake_comm_reset_failing(failing_call);
        fake_comm.replies = {{0x55, 10}};
        const RunResult run = run_kobrel({"1", "9600", "n", "1"});
        EXPECT_EQ(run.output, OPENING_COM1 + SENDING + exchange_output("0x01, ", 200, ""));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fake_comm.clock, 201u);
    }
}

} // namespace
