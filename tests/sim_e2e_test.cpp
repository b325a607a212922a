// The real kobrel binary against kobrel-sim, the simulated device: a Modbus
// RTU server on libmodbus, or a scripted device. Each test has its own port
// folder, and the simulator a fresh pseudo-terminal in terminal mode.
#include "byte_echo.h"
#include "child_process.h"
#include "modbus_frame.h"
#include "pty_peer.h"
#include "stream_pattern.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// No /dev/ttyS200 exists to fall back to once the simulator has gone.
constexpr int COM = 201;

std::string opening_text()
{
    return "Opening port '\\\\.\\COM" + std::to_string(COM) + "'\r\nSending data:\r\r\n";
}

std::string exchange_text(const bytes &frame, const bytes &reply)
{
    return byte_echo(frame) + "\r\r\nWaiting for data (timeout of 200 ms):\r\r\n" +
           byte_echo(reply) + "\r\r\n";
}

std::string hex_text(const bytes &values)
{
    std::string text;
    for (unsigned char value : values) {
        char piece[4];
        snprintf(piece, sizeof piece, text.empty() ? "%02X" : " %02X", value);
        text += piece;
    }
    return text;
}

bytes two_frames_as_one_run()
{
    bytes run = with_crc({1, 3, 0, 0, 0, 2});
    bytes second = with_crc({1, 6, 0, 5, 0x12, 0x34});
    run.insert(run.end(), second.begin(), second.end());
    return run;
}

// kobrel's command line for a frame at 9600 baud, no parity.
std::vector<std::string> command_for(const bytes &frame)
{
    std::vector<std::string> arguments = {std::to_string(COM), "9600", "n"};
    for (unsigned char value : frame)
        arguments.push_back(std::to_string(value));
    return arguments;
}

// Where two long texts part, with a little of each around it; empty when
// they are equal. Keeps a failure readable where EXPECT_EQ would print
// megabytes.
std::string difference(const std::string &actual, const std::string &expected)
{
    if (actual == expected)
        return "";
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return "at byte " + std::to_string(at) + " of " + std::to_string(actual.size()) + " (expected " +
           std::to_string(expected.size()) + "): got \"" + actual.substr(at, 24) +
           "\", expected \"" + expected.substr(at, 24) + "\"";
}

std::string stream_echo(size_t count)
{
    std::string text;
    text.reserve(count * 6);
    for (size_t index = 0; index < count; ++index)
        text += byte_echo({stream_byte(index)});
    return text;
}

long long now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

class Simulator : public ::testing::Test {
protected:
    void SetUp() override { config_home = port_folder_create(); }
    void TearDown() override
    {
        child_kill(kobrel);
        child_kill(sim);
        port_folder_remove(config_home);
    }

    // Starts kobrel-sim on COM and waits for the line that says it serves.
    void start_sim(std::vector<std::string> options)
    {
        options.push_back(std::to_string(COM));
        sim = child_start(KOBREL_SIM_BINARY, options, config_home);
        std::string first = read_until(sim.output, "\n", 5000);
        char device[256] = "";
        int number = 0;
        ASSERT_EQ(sscanf(first.c_str(), "Serving COM%d on %255[^:]:", &number, device), 2) << first;
        ASSERT_EQ(number, COM);
        device_path = device;
    }

    // Stops the simulator as Ctrl+C does; returns its monitor lines.
    std::string stop_sim(int signal_number = SIGINT)
    {
        kill(sim.pid, signal_number);
        return child_finish(sim);
    }

    std::string run_kobrel(const std::vector<std::string> &arguments,
                           const std::string &output_file = "")
    {
        kobrel = child_start(KOBREL_BINARY, arguments, config_home, output_file);
        return child_finish(kobrel);
    }

    std::string link_path() const
    {
        return config_home + "/kobrel/ports/com" + std::to_string(COM);
    }

    std::string lock_path() const { return link_path() + ".lock"; }

    std::string link_target() const
    {
        char target[PATH_MAX] = "";
        ssize_t length = readlink(link_path().c_str(), target, sizeof target - 1);
        return length > 0 ? std::string(target, (size_t)length) : "";
    }

    // Runs kobrel-sim where it should refuse to start; returns what it said
    // on standard error.
    std::string refused_sim(const std::vector<std::string> &arguments)
    {
        std::string file = config_home + "/errors";
        int errors = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int saved = dup(STDERR_FILENO);
        dup2(errors, STDERR_FILENO);
        sim = child_start(KOBREL_SIM_BINARY, arguments, config_home);
        dup2(saved, STDERR_FILENO);
        close(saved);
        close(errors);
        EXPECT_EQ(child_finish(sim), "") << "it should not serve";
        return file_text(file);
    }

    struct termios device_line() const
    {
        struct termios line = {};
        int fd = open(device_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0) << device_path;
        EXPECT_EQ(tcgetattr(fd, &line), 0);
        close(fd);
        return line;
    }

    std::string config_home;
    std::string device_path;
    child_process sim;
    child_process kobrel;
};

TEST_F(Simulator, ReadsTwoHoldingRegistersFromTheModbusServer)
{
    start_sim({});
    std::string text =
        run_kobrel({std::to_string(COM), "9600", "n", "1", "3", "0", "0", "0", "2", "CRC1", "CRC2"});

    EXPECT_EQ(child_exit_code(kobrel), 0);
    bytes request = with_crc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
    bytes reply = with_crc({0x01, 0x03, 0x04, 0x10, 0x00, 0x10, 0x01});
    EXPECT_EQ(text, opening_text() + exchange_text(request, reply));
    EXPECT_EQ(stop_sim(), "frame 1: received " + hex_text(request) + " (CRC good), sent " +
                              hex_text(reply) + "\n");
    EXPECT_EQ(child_exit_code(sim), 0);
}

TEST_F(Simulator, ModbusServerAnswersAsADeviceDoes)
{
    const struct {
        const char *what;
        bytes request;
        bytes reply;
        const char *outcome;
    } exchanges[] = {
        {"coils 0-9", with_crc({1, 1, 0, 0, 0, 10}), with_crc({1, 1, 2, 0xAA, 0x02}), "sent"},
        {"discrete inputs 0-3", with_crc({1, 2, 0, 0, 0, 4}), with_crc({1, 2, 1, 0x05}), "sent"},
        {"input registers 98-99", with_crc({1, 4, 0, 98, 0, 2}),
         with_crc({1, 4, 4, 0x20, 98, 0x20, 99}), "sent"},
        {"address beyond the table", with_crc({1, 3, 0, 100, 0, 1}), with_crc({1, 0x83, 2}),
         "sent"},
        {"bad CRC", {1, 3, 0, 0, 0, 2, 0xC4, 0x0C}, {}, "(CRC bad), dropped"},
        {"another server", with_crc({2, 3, 0, 0, 0, 2}), {}, "addressed to server 2: ignored"},
        {"write register 5", with_crc({1, 6, 0, 5, 0x12, 0x34}), with_crc({1, 6, 0, 5, 0x12, 0x34}),
         "sent"},
        {"register 5 read back", with_crc({1, 3, 0, 5, 0, 1}), with_crc({1, 3, 2, 0x12, 0x34}),
         "sent"},
        {"unknown function", with_crc({1, 0x42}), with_crc({1, 0xC2, 1}), "sent"},
        {"unknown function with data", with_crc({1, 0x41, 0, 0}), with_crc({1, 0xC1, 1}), "sent"},
        {"read exception status", with_crc({1, 7}), with_crc({1, 0x87, 1}), "sent"},
        {"unknown function to another server", with_crc({2, 0x41, 0, 0}), {},
         "addressed to server 2: ignored"},
        {"unknown function broadcast", with_crc({0, 0x41, 0, 0}), {}, "broadcast: no answer"},
        {"too short", {1, 3, 0}, {}, "too short: dropped"},
        {"read with a byte too many", with_crc({1, 3, 0, 0, 0, 2, 0}), {},
         "longer than its function needs: dropped"},
        {"read without its count", with_crc({1, 3, 0, 0}), {},
         "shorter than its function needs: dropped"},
        // Two good frames back to back are one run on the line; its CRC
        // fails, though libmodbus alone would take the first frame.
        {"two frames as one run", two_frames_as_one_run(), {}, "(CRC bad), dropped"},
    };
    start_sim({});
    for (const auto &exchange : exchanges) {
        std::string text = run_kobrel(command_for(exchange.request));
        EXPECT_EQ(text, opening_text() + exchange_text(exchange.request, exchange.reply))
            << exchange.what;
        EXPECT_EQ(child_exit_code(kobrel), 0) << exchange.what;
    }
    std::string monitor = stop_sim();
    size_t line_start = 0;
    for (const auto &exchange : exchanges) {
        size_t line_end = monitor.find('\n', line_start);
        ASSERT_NE(line_end, std::string::npos) << monitor;
        std::string line = monitor.substr(line_start, line_end - line_start);
        EXPECT_NE(line.find("received " + hex_text(exchange.request)), std::string::npos) << line;
        EXPECT_NE(line.find(exchange.outcome), std::string::npos) << exchange.what << ": " << line;
        line_start = line_end + 1;
    }
}

TEST_F(Simulator, EveryByteValuePassesUnchangedInTheFrameAndTheReply)
{
    for (int first = 0; first < 256; first += 104) {
        bytes frame;
        for (int value = first; value < first + 104 && value < 256; ++value)
            frame.push_back((unsigned char)value);
        start_sim({"--echo"});
        struct termios fresh = device_line();
        EXPECT_NE(fresh.c_lflag & ICANON, 0u) << "a new terminal starts in terminal mode";
        EXPECT_NE(fresh.c_iflag & (IXON | ICRNL), 0u);

        std::string text = run_kobrel(command_for(frame));
        EXPECT_EQ(text, opening_text() + exchange_text(frame, frame)) << "from " << first;
        EXPECT_EQ(child_exit_code(kobrel), 0);
        std::string monitor = stop_sim();
        size_t shown = frame.size() < 64 ? frame.size() : 64; // the line shortens long frames
        std::string received = "frame 1: received " + hex_text(bytes(frame.begin(), frame.begin() + (long)shown));
        EXPECT_EQ(monitor.compare(0, received.size(), received), 0) << monitor;
        EXPECT_EQ(monitor.find("frame 2"), std::string::npos) << "one frame: " << monitor;
    }
}

TEST_F(Simulator, ReplyBytesWithinTheWindowKeepTheCaptureGoing)
{
    const struct {
        const char *byte_gap_ms;
        bytes printed;
    } cases[] = {
        {"150", {0x11, 0x22, 0x33}}, // each gap inside the 200 ms window
        {"400", {0x11}},             // the window ends before the second byte
    };
    for (const auto &c : cases) {
        start_sim({"--reply", "11 22 33", "--byte-gap", c.byte_gap_ms});
        kobrel = child_start(KOBREL_BINARY, command_for({0x05}), config_home);
        std::string monitor = read_until(sim.output, "\n", 5000); // after the last byte went out
        long long last_byte_sent = now_ms();
        std::string text = child_finish(kobrel);
        long long ended = now_ms();

        EXPECT_EQ(text, opening_text() + exchange_text({0x05}, c.printed)) << c.byte_gap_ms;
        EXPECT_EQ(child_exit_code(kobrel), 0);
        EXPECT_NE(monitor.find("sent 11 22 33"), std::string::npos) << monitor;
        if (c.printed.size() == 3) {
            // About 200 ms after the last byte; generous margins, not a benchmark.
            EXPECT_GE(ended - last_byte_sent, 150) << "ended too early";
            EXPECT_LE(ended - last_byte_sent, 1500) << "ended too late";
        }
        stop_sim();
    }
}

TEST_F(Simulator, LineHasTheChosenSettingsAndIsRawAfterARun)
{
    const struct {
        const char *baud_rate;
        const char *parity;
        speed_t speed;
    } cases[] = {
        {"9600", "n", B9600},
        {"19200", "e", B19200},
        {"115200", "o", B115200},
        {"-38400", "N", B38400},
    };
    for (const auto &c : cases) {
        start_sim({"--silent"});
        // The device's line as a terminal leaves it, with two stop bits.
        int fd = open(device_path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        struct termios before;
        ASSERT_EQ(tcgetattr(fd, &before), 0);
        before.c_cflag |= CSTOPB;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
        close(fd);
        ASSERT_NE(before.c_iflag & IXON, 0u);

        run_kobrel({std::to_string(COM), c.baud_rate, c.parity, "1", "3"});
        EXPECT_EQ(child_exit_code(kobrel), 0) << c.baud_rate;
        struct termios after = device_line();
        EXPECT_EQ(cfgetospeed(&after), c.speed) << c.baud_rate;
        EXPECT_EQ(after.c_cflag & CSIZE, (tcflag_t)CS8);
        EXPECT_EQ(after.c_cflag & CSTOPB, 0u) << "one stop bit";
        EXPECT_NE(after.c_cflag & CREAD, 0u);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "raw";
        EXPECT_EQ(after.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(after.c_oflag & OPOST, 0u);
        // A pseudo-terminal forces 8 data bits and clears PARENB whatever is
        // asked, so the parity choice itself cannot be read back here.
        if (c.parity[0] == 'n' || c.parity[0] == 'N') {
            EXPECT_EQ(after.c_cflag & PARENB, 0u);
        }
        stop_sim();
    }
}

TEST_F(Simulator, InterruptWithOutputToAFileKeepsEveryPrintedByte)
{
    start_sim({"--stream", "100000000"});
    std::string file = config_home + "/output";
    kobrel = child_start(KOBREL_BINARY, command_for({0x07}), config_home, file);
    struct stat written = {};
    for (int waited = 0; waited < 10000 && written.st_size < 300000; waited += 5) {
        usleep(5000);
        stat(file.c_str(), &written);
    }
    kill(kobrel.pid, SIGINT);
    child_finish(kobrel);

    ASSERT_TRUE(WIFSIGNALED(kobrel.status));
    EXPECT_EQ(WTERMSIG(kobrel.status), SIGINT);
    std::string text = file_text(file);
    std::string head =
        opening_text() + byte_echo({0x07}) + "\r\r\nWaiting for data (timeout of 200 ms):\r\r\n";
    ASSERT_GT(text.size(), head.size() + 300000);
    size_t echoed = (text.size() - head.size()) / 6;
    EXPECT_EQ(difference(text, head + stream_echo(echoed)), "");
}

TEST_F(Simulator, StreamOfMegabytesIsEchoedWholeAndInOrder)
{
    constexpr size_t length = 4 * 1024 * 1024;
    start_sim({"--stream", std::to_string(length)});
    std::string file = config_home + "/output";
    run_kobrel(command_for({0x01, 0x02}), file);

    EXPECT_EQ(child_exit_code(kobrel), 0);
    std::string expected = opening_text() + byte_echo({0x01, 0x02}) +
                           "\r\r\nWaiting for data (timeout of 200 ms):\r\r\n" +
                           stream_echo(length) + "\r\r\n";
    EXPECT_EQ(difference(file_text(file), expected), "");
    EXPECT_NE(stop_sim().find("sent " + std::to_string(length) + " bytes"), std::string::npos);
}

TEST_F(Simulator, RemovesItsLinkWhenStopped)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        start_sim({});
        char target[PATH_MAX] = "";
        ASSERT_GT(readlink(link_path().c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(device_path, target);
        stop_sim(signal_number);
        EXPECT_EQ(child_exit_code(sim), 0) << signal_number;
        EXPECT_NE(access(link_path().c_str(), F_OK), 0) << "link left after signal " << signal_number;
        EXPECT_NE(access(lock_path().c_str(), F_OK), 0) << "lock left after signal " << signal_number;
    }
}

TEST_F(Simulator, NeverReplacesAUsersLink)
{
    const struct {
        const char *what;
        const char *target;
        bool lock_file; // left unheld next to the link
    } cases[] = {
        {"a serial device", "/dev/ttyUSB7", false},
        {"a pseudo-terminal without a lock file", "/dev/pts/77", false},
        {"a serial device with a lock file nobody holds", "/dev/ttyUSB7", true},
    };
    for (const auto &c : cases) {
        port_map(config_home, COM, c.target);
        if (c.lock_file)
            close(open(lock_path().c_str(), O_WRONLY | O_CREAT, 0644));
        std::string errors = refused_sim({std::to_string(COM)});
        EXPECT_EQ(child_exit_code(sim), 1) << c.what;
        EXPECT_NE(errors.find("already exists"), std::string::npos) << c.what << ": " << errors;
        EXPECT_EQ(link_target(), c.target) << c.what;
        EXPECT_EQ(access(lock_path().c_str(), F_OK) == 0, c.lock_file) << c.what;
        unlink(link_path().c_str());
        unlink(lock_path().c_str());
    }
}

TEST_F(Simulator, ReplacesTheLinkOfAKilledSimulatorButNotOfALiveOne)
{
    start_sim({"--echo"});
    child_process live = sim;
    std::string errors = refused_sim({"--echo", std::to_string(COM)});
    EXPECT_EQ(child_exit_code(sim), 1) << "a live simulator keeps its link";
    EXPECT_NE(errors.find("already exists"), std::string::npos) << errors;
    EXPECT_EQ(link_target(), device_path);

    sim = live;
    kill(sim.pid, SIGKILL);
    child_finish(sim);
    ASSERT_EQ(link_target(), device_path) << "SIGKILL leaves the link";

    start_sim({"--echo"});
    EXPECT_EQ(link_target(), device_path);
    EXPECT_EQ(run_kobrel(command_for({0x2A})), opening_text() + exchange_text({0x2A}, {0x2A}));
    EXPECT_EQ(child_exit_code(kobrel), 0);
    EXPECT_EQ(stop_sim(), "frame 1: received 2A (too short for a CRC), sent 2A\n");
    EXPECT_EQ(child_exit_code(sim), 0);
    EXPECT_NE(access(link_path().c_str(), F_OK), 0);
    EXPECT_NE(access(lock_path().c_str(), F_OK), 0);
}

TEST_F(Simulator, ReplyTakesOnlyHexBytesSeparatedByWhitespace)
{
    const struct {
        const char *text;
        const char *shown; // nullptr: refused
    } cases[] = {
        {"01 03 02 00 2A", "01 03 02 00 2A"},
        {" 1\ta  FF\n", "01 0A FF"},
        {"0x 5, +1", nullptr},
        {"0x01", nullptr},
        {"01,02", nullptr},
        {"123", nullptr},
        {"01 zz", nullptr},
        {"-1", nullptr},
        {"", nullptr},
        {"  ", nullptr},
    };
    for (const auto &c : cases) {
        if (c.shown != nullptr) {
            sim = child_start(KOBREL_SIM_BINARY, {"--reply", c.text, std::to_string(COM)},
                              config_home);
            std::string first = read_until(sim.output, "\n", 5000);
            EXPECT_NE(first.find(std::string(": fixed answer ") + c.shown + "\n"),
                      std::string::npos)
                << c.text << ": " << first;
            stop_sim();
            continue;
        }
        std::string errors = refused_sim({"--reply", c.text, std::to_string(COM)});
        EXPECT_EQ(child_exit_code(sim), 2) << c.text;
        EXPECT_EQ(errors.rfind("kobrel-sim: --reply takes hexadecimal bytes", 0), 0u)
            << c.text << ": " << errors;
        EXPECT_NE(access(link_path().c_str(), F_OK), 0) << c.text;
    }
}

TEST_F(Simulator, EndsAfterTheGivenNumberOfFramesAndTheDeviceIsGone)
{
    start_sim({"--echo", "--frames", "2"});
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(run_kobrel(command_for({0x2A})), opening_text() + exchange_text({0x2A}, {0x2A}));
        EXPECT_EQ(child_exit_code(kobrel), 0);
    }
    std::string monitor = child_finish(sim);
    EXPECT_EQ(child_exit_code(sim), 0);
    EXPECT_NE(monitor.find("Served 2 frames; closing the line\n"), std::string::npos) << monitor;
    EXPECT_NE(access(link_path().c_str(), F_OK), 0);

    EXPECT_EQ(run_kobrel(command_for({0x2A})),
              "Opening port '\\\\.\\COM" + std::to_string(COM) + "'\r\nError opening port\r\n");
    EXPECT_EQ(child_exit_code(kobrel), 10);
}

} // namespace
