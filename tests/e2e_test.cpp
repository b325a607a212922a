// The real kobrel binary against a pseudo-terminal "device" held by the test:
// the frame on the line, the reply echoed, exact standard output, exit status.
#include "byte_echo.h"
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

#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

const char usage[] = "Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]";

// A plain bitwise CRC-16/MODBUS, written apart from the tool's table.
bytes with_crc(bytes frame)
{
    unsigned crc = 0xFFFF;
    for (unsigned char byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back((unsigned char)(crc & 0xFF));
    frame.push_back((unsigned char)(crc >> 8));
    return frame;
}

std::string file_contents(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return "(no file " + path + ")";
    for (int c; (c = fgetc(file)) != EOF;)
        text += (char)c;
    fclose(file);
    return text;
}

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
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (output >= 0)
            close(output);
        pty_close(peer);
        port_folder_remove(config_home);
    }

    // Starts kobrel with its standard output on a pipe (the default) or on
    // the given file.
    void start(const std::vector<std::string> &arguments, const std::string &output_file = "")
    {
        int pipe_ends[2] = {-1, -1};
        if (output_file.empty()) {
            ASSERT_EQ(pipe(pipe_ends), 0);
        }
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int target = output_file.empty()
                             ? pipe_ends[1]
                             : open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(target, STDOUT_FILENO);
            closefrom(STDERR_FILENO + 1); // kobrel holds nothing of the test's
            setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(KOBREL_BINARY));
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            execv(KOBREL_BINARY, argv.data());
            _exit(127);
        }
        if (output_file.empty()) {
            close(pipe_ends[1]);
            output = pipe_ends[0];
        }
    }

    // Collects standard output until the process ends (at most 20 s).
    std::string finish()
    {
        std::string text = output >= 0 ? read_to_end(output, 20000) : "";
        for (int waited = 0; waited < 20000; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return text;
            }
            usleep(10000);
        }
        ADD_FAILURE() << "kobrel did not end";
        return text;
    }

    int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

    std::string run(const std::vector<std::string> &arguments)
    {
        start(arguments);
        return finish();
    }

    pty_peer peer;
    std::string config_home;
    pid_t pid = -1;
    int output = -1;
    int status = -1;
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

TEST_F(Kobrel, InterruptWhileBlockedInWriteKeepsPrintedOutput)
{
    // A raw line with XON/XOFF that the device has just stopped with XOFF:
    // kobrel keeps the flow control it finds, so its write cannot proceed.
    struct termios line;
    ASSERT_EQ(tcgetattr(peer.slave, &line), 0);
    cfmakeraw(&line);
    line.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(peer.slave, TCSANOW, &line), 0);
    write_bytes(peer.master, {0x13});
    usleep(20000);

    std::string file = config_home + "/output";
    start({"5", "9600", "n", "1", "2", "CRC1", "CRC2"}, file);
    wait_for_raw_line(peer.slave);
    usleep(200000);
    kill(pid, SIGINT);
    finish();

    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_EQ(file_contents(file),
              "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n" + byte_echo(with_crc({1, 2})));
    EXPECT_TRUE(read_bytes(peer.master, 1, 100).empty()) << "the stopped frame was sent";
    int exclusive = 1;
    ASSERT_EQ(ioctl(peer.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the port was not released";
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
    kill(pid, SIGTERM);
    finish();

    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(file_contents(file), "Opening port '\\\\.\\COM5'\r\nSending data:\r\r\n0x07, \r\r\n"
                    "Waiting for data (timeout of 200 ms):\r\r\n" +
                        byte_echo(reply));
}

// Reads from fd until text has arrived or timeout_ms passed.
std::string read_until(int fd, const std::string &text, int timeout_ms)
{
    std::string seen;
    while (seen.find(text) == std::string::npos) {
        bytes more = read_bytes(fd, 1, timeout_ms);
        if (more.empty())
            break;
        seen += (char)more[0];
    }
    return seen;
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
    close(output); // nobody reads kobrel's output any more
    output = -1;
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

} // namespace
