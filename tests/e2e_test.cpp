// The real kobrel binary against a pseudo-terminal "device" held by the test:
// the frame on the line, the reply echoed, exact standard output, exit status.
#include "byte_echo.h"
#include "child_process.h"
#include "modbus_frame.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

const char usage[] = "Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]";

class Kobrel : public ::testing::Test {
protected:
    void SetUp() override
    {
        peer = pty_open();
        config_home = port_folder_create();
        port_map(config_home, 5, peer.slave_path);
    }
    void TearDown() override
    {
        child_kill(kobrel);
        pty_close(peer);
        port_folder_remove(config_home);
    }

    // Starts kobrel with its standard output on a pipe (the default) or on
    // the given file.
    void start(const std::vector<std::string> &arguments, const std::string &output_file = "")
    {
        kobrel = child_start(KOBREL_BINARY, arguments, config_home, output_file);
    }

    std::string finish() { return child_finish(kobrel); }

    int exit_code() const { return child_exit_code(kobrel); }

    std::string run(const std::vector<std::string> &arguments)
    {
        start(arguments);
        return finish();
    }

    pty_peer peer;
    std::string config_home;
    child_process kobrel;
};

TEST_F(Kobrel, ReadsTwoHoldingRegisters)
{
    start({"5", "9600", "n", "1", "3", "0", "0", "0", "2", "CRC1", "CRC2"});
    bytes request = read_bytes(peer.master, 8, 5000);
    EXPECT_EQ(request, with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
    bytes reply = with_crc({0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B});
    write_bytes(peer.master, reply);
    std::string text = finish();

    EXPECT_EQ(exit_code(), 0);
    EXPECT_EQ(text, "Opening port '\\\\.\\COM5'\r\n"
                    "Sending data:\r\r\n" +
                        byte_echo(request) +
                        "\r\r\n"
                        "Waiting for data (timeout of 200 ms):\r\r\n" +
                        byte_echo(reply) + "\r\r\n");
    struct termios line;
    ASSERT_EQ(tcgetattr(peer.slave, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), (speed_t)B9600);
    EXPECT_EQ(line.c_lflag & ICANON, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | ICRNL), 0u);
}

TEST_F(Kobrel, RepeatModeSendsTheSameFrameTenTimes)
{
    start({"5", "-19200", "e", "0x11", "0x03", "0x00", "0x6B", "0x00", "0x03", "crc1", "Crc2"});
    bytes frame = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87};
    bytes line = read_bytes(peer.master, frame.size() * 10, 5000);
    std::string text = finish();

    EXPECT_EQ(exit_code(), 0);
    bytes expected_line;
    std::string expected_text = "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n";
    for (int exchange = 0; exchange < 10; ++exchange) {
        expected_line.insert(expected_line.end(), frame.begin(), frame.end());
        expected_text += byte_echo(frame) + "\r\r\nWaiting for data (timeout of 1 ms):\r\r\n\r\r\n";
    }
    EXPECT_EQ(line, expected_line);
    EXPECT_EQ(text, expected_text);
}

TEST_F(Kobrel, RefusalsPrintTheirMessageAndStatus)
{
    port_map(config_home, 0, config_home + "/nothing-here");
    std::vector<std::string> too_many = {"5", "9600", "n"};
    too_many.insert(too_many.end(), 105, "1");
    const struct {
        std::vector<std::string> arguments;
        std::string text;
        int code;
    } cases[] = {
        {{}, usage, 1},
        {{"5", "9600"}, usage, 1},
        {{"257", "9600", "n", "1"}, "Invalid port number\r\n", 10},
        {{"COM5", "9600", "n", "1"}, "Opening port '\\\\.\\COM0'\r\nError opening port\r\n", 10},
        {{"5", "0", "n", "1"},
         "Opening port '\\\\.\\COM5'\r\nError setting port parameters (SetCommState)\r\n", 10},
        {{"5", "-2147483648", "n", "1"},
         "Opening port '\\\\.\\COM5'\r\nError setting port parameters (SetCommState)\r\n", 10},
        {too_many, "Too many data bytes: 105 (at most 104)\r\r\n", 1},
    };
    for (const auto &c : cases) {
        std::string text = run(c.arguments);
        EXPECT_EQ(text, c.text) << c.arguments.size() << " arguments";
        EXPECT_EQ(exit_code(), c.code) << text;
        // Even a port that refused its settings is free for the next run.
        int exclusive = 1;
        ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << text;
    }
}

TEST_F(Kobrel, PortHeldByAnotherProgramIsNotOpened)
{
    int other = open(peer.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    std::string text = run({"5", "9600", "n", "1"});
    close(other);
    EXPECT_EQ(text, "Opening port '\\\\.\\COM5'\r\nError opening port\r\n");
    EXPECT_EQ(exit_code(), 10);
}

// Waits until kobrel has set the line up (it leaves terminal mode).
void wait_for_raw_line(int slave)
{
    for (int waited = 0; waited < 5000; waited += 5) {
        struct termios line;
        if (tcgetattr(slave, &line) == 0 && (line.c_lflag & ICANON) == 0)
            return;
        usleep(5000);
    }
    ADD_FAILURE() << "the line was never set up";
}

// A raw line with XON/XOFF flow control, which kobrel keeps as it finds it.
void make_raw_with_xon_xoff(int slave)
{
    struct termios line;
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    cfmakeraw(&line);
    line.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &line), 0);
}

// Fills the line's output with zeros the device never reads, until a write
// would wait: a port opens with output flowing, but a full line stays full.
void fill_line_output(const pty_peer &peer)
{
    int filler = open(peer.slave_path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::vector<unsigned char> zeros(4096, 0);
    for (bool wrote = true; wrote; usleep(50000)) { // the kernel moves queued bytes on
        wrote = false;
        while (write(filler, zeros.data(), zeros.size()) > 0)
            wrote = true;
    }
    close(filler);
}

TEST_F(Kobrel, InterruptWhileBlockedInWriteKeepsPrintedOutput)
{
    // A raw line whose device reads nothing more: kobrel's write cannot
    // proceed.
    struct termios raw;
    ASSERT_EQ(tcgetattr(peer.slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(peer.slave, TCSANOW, &raw), 0);
    fill_line_output(peer);

    std::string file = config_home + "/output";
    start({"5", "9600", "n", "1", "2", "CRC1", "CRC2"}, file);
    wait_for_raw_line(peer.slave);
    usleep(200000);
    kill(kobrel.pid, SIGINT);
    finish();

    ASSERT_TRUE(WIFSIGNALED(kobrel.status));
    EXPECT_EQ(WTERMSIG(kobrel.status), SIGINT);
    EXPECT_EQ(file_text(file),
              "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n" + byte_echo(with_crc({1, 2})));
    bytes line = read_bytes(peer.master, 1 << 20, 100);
    EXPECT_EQ(std::count(line.begin(), line.end(), 0), (long)line.size()) << "the stopped frame was sent";
    int exclusive = 1;
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the port was not released";
}

TEST_F(Kobrel, DeviceThatVanishesInRepeatModeEndsTheRunWithTheWriteError)
{
    // The device takes the first frame, stops the line with XOFF and goes
    // away while kobrel waits to send a later one.
    make_raw_with_xon_xoff(peer.slave);
    start({"5", "-9600", "n", "1", "2", "3"});
    bytes frame = {1, 2, 3};
    EXPECT_EQ(read_bytes(peer.master, frame.size(), 5000), frame);
    write_bytes(peer.master, {0x13});
    usleep(50000);
    pty_close(peer);
    std::string text = finish();

    EXPECT_EQ(exit_code(), 1);
    size_t completed = 0; // exchanges before the one whose write failed
    for (size_t at = text.find("timeout of 1 ms"); at != std::string::npos;
         at = text.find("timeout of 1 ms", at + 1))
        ++completed;
    EXPECT_GE(completed, 1u);
    EXPECT_LT(completed, 10u);
    std::string expected = "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n";
    for (size_t done = 0; done < completed; ++done)
        expected += byte_echo(frame) + "\r\r\nWaiting for data (timeout of 1 ms):\r\r\n\r\r\n";
    EXPECT_EQ(text, expected + byte_echo(frame) + "\r\r\n**Error writing to COM5\r\r\n");
}

TEST_F(Kobrel, InterruptDuringTheReplyKeepsEveryEchoedByte)
{
    std::string file = config_home + "/output";
    start({"5", "9600", "n", "7"}, file);
    EXPECT_EQ(read_bytes(peer.master, 1, 5000), bytes{7});
    bytes reply = {0x0A, 0x0D, 0x11, 0x13, 0xFF};
    for (unsigned char byte : reply) {
        write_bytes(peer.master, {byte});
        usleep(20000);
    }
    usleep(60000); // well inside the 200 ms window after the last byte
    kill(kobrel.pid, SIGTERM);
    finish();

    ASSERT_TRUE(WIFSIGNALED(kobrel.status));
    EXPECT_EQ(WTERMSIG(kobrel.status), SIGTERM);
    EXPECT_EQ(file_text(file), "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n0x07, \r\r\n"
                    "Waiting for data (timeout of 200 ms):\r\r\n" +
                        byte_echo(reply));
}

TEST_F(Kobrel, OnATerminalEachByteShowsAtOnce)
{
    pty_peer screen = pty_open();
    struct termios line;
    ASSERT_EQ(tcgetattr(screen.slave, &line), 0);
    cfmakeraw(&line); // show the bytes exactly as kobrel writes them
    ASSERT_EQ(tcsetattr(screen.slave, TCSANOW, &line), 0);

    start({"5", "9600", "n", "0x41"}, screen.slave_path);
    EXPECT_EQ(read_bytes(peer.master, 1, 5000), bytes{0x41});
    // kobrel is still waiting for the reply: what it printed is already there.
    EXPECT_EQ(read_until(screen.master, "ms):\r\r\n", 5000),
              "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n0x41, \r\r\n"
              "Waiting for data (timeout of 200 ms):\r\r\n");
    for (unsigned char byte : bytes{0x10, 0x20}) {
        write_bytes(peer.master, {byte});
        EXPECT_EQ(read_until(screen.master, ", ", 150), byte_echo({byte}));
    }
    finish();
    EXPECT_EQ(exit_code(), 0);
    EXPECT_EQ(read_until(screen.master, "\n", 1000), "\r\r\n");
    pty_close(screen);
}

TEST_F(Kobrel, ClosedOutputPipeDoesNotCutTheExchangeShort)
{
    start({"5", "9600", "n", "1", "2", "3"});
    close(kobrel.output); // nobody reads kobrel's output any more
    kobrel.output = -1;
    EXPECT_EQ(read_bytes(peer.master, 3, 5000), (bytes{1, 2, 3}));
    write_bytes(peer.master, {4, 5});
    finish();
    // As on Windows, output to a closed pipe is lost but the run completes
    // and releases the port.
    EXPECT_EQ(exit_code(), 0);
    int exclusive = 1;
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

// ---- Each run opens the port afresh: a device another program holds stays
// its own, an XOFF from before the run does not hold the frame back, and
// parity on a pseudo-terminal works on every run.

TEST_F(Kobrel, PortHeldExclusiveByAnotherProgramIsNotOpened)
{
    ASSERT_EQ(ioctl(peer.slave, TIOCEXCL), 0);
    std::string text = run({"5", "9600", "n", "1"});
    int exclusive = 0;
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    ioctl(peer.slave, TIOCNXCL);
    EXPECT_EQ(text, "Opening port '\\\\.\\COM5'\r\nError opening port\r\n");
    EXPECT_EQ(exit_code(), 10);
    EXPECT_NE(exclusive, 0) << "the other program's flag was cleared";
}

TEST_F(Kobrel, LineStoppedByXoffBeforeTheRunStillGetsTheFrame)
{
    make_raw_with_xon_xoff(peer.slave);
    write_bytes(peer.master, {0x13});
    usleep(50000);
    start({"5", "9600", "n", "1", "2", "CRC1", "CRC2"});
    bytes frame = read_bytes(peer.master, 4, 5000);
    if (frame.empty())
        child_kill(kobrel); // stopped in its write for good
    std::string text = finish();
    EXPECT_EQ(frame, with_crc({1, 2}));
    EXPECT_EQ(exit_code(), 0) << text;
}

TEST_F(Kobrel, EvenParityWorksOnEveryRunOverAPseudoTerminal)
{
    for (int run_number = 1; run_number <= 3; ++run_number) {
        start({"5", "9600", "e", "1", "2"});
        bytes frame = read_bytes(peer.master, 2, 5000);
        std::string text = finish();
        EXPECT_EQ(frame, (bytes{1, 2})) << "run " << run_number;
        EXPECT_EQ(exit_code(), 0) << "run " << run_number << ": " << text;
    }
}

} // namespace
