// kobrel.exe and the Windows console module under Wine, each run next to this
// Linux build on the same command line: exact standard output, exit status,
// and the same bytes from both builds. ctest runs this program in the Windows
// build directory, which provides the Wine prefix (WINEPREFIX) and names the
// Windows programs (KOBREL_EXE, KOBREL_CONSOLE_PROBE_EXE).
#include "byte_echo.h"
#include "child_process.h"
#include "console_probe.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

const char usage[] = "Usage kobrel <comport> <baudrate> <o|e|n> <data0> [<data1> <data2>...]";

// A Windows process that ends as interrupted exits with STATUS_CONTROL_C_EXIT
// (0xC000013A); Wine hands its low byte to the host as the exit status.
const int WINDOWS_INTERRUPTED_EXIT_STATUS = 0x3A;

struct build {
    const char *name;
    bool under_wine;
    std::string kobrel;
    std::string console_probe;
};

std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

build linux_build()
{
    return {"Linux", false, KOBREL_BINARY, KOBREL_CONSOLE_PROBE};
}

build windows_build()
{
    return {"Windows", true, environment("KOBREL_EXE"), environment("KOBREL_CONSOLE_PROBE_EXE")};
}

std::vector<std::string> command_line(const build &target, const std::string &program,
                                      const std::vector<std::string> &arguments)
{
    std::vector<std::string> words;
    if (target.under_wine)
        words.push_back("wine");
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    return words;
}

// Where a child's standard streams go: a descriptor, or -1 for /dev/null
// (standard error: the test's own). A terminal session makes the terminal on
// standard input the child's controlling terminal, so that Ctrl+C typed on it
// reaches the child as it does in a shell.
struct child_streams {
    int in = -1;
    int out = -1;
    int err = -1;
    bool terminal_session = false;
};

pid_t spawn(const std::vector<std::string> &command, const child_streams &streams,
            const std::string &config_home)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (streams.terminal_session) {
        setsid();
        ioctl(streams.in, TIOCSCTTY, 0);
    }
    int null_device = open("/dev/null", O_RDWR);
    dup2(streams.in >= 0 ? streams.in : null_device, STDIN_FILENO);
    dup2(streams.out >= 0 ? streams.out : null_device, STDOUT_FILENO);
    if (streams.err >= 0)
        dup2(streams.err, STDERR_FILENO);
    closefrom(STDERR_FILENO + 1);
    // The Linux build finds its ports here: an empty folder unless the test
    // maps one.
    setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The wait status, once the child has ended; a child still running after
// timeout_ms is killed and reported as a failure.
int wait_for(pid_t pid, int timeout_ms)
{
    int status = -1;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(10000);
    }
    ADD_FAILURE() << "the program did not end within " << timeout_ms << " ms";
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void expect_interrupted(const build &target, int status)
{
    if (target.under_wine) {
        EXPECT_EQ(exit_status(status), WINDOWS_INTERRUPTED_EXIT_STATUS) << target.name;
    } else {
        ASSERT_TRUE(WIFSIGNALED(status)) << target.name;
        EXPECT_EQ(WTERMSIG(status), SIGINT) << target.name;
    }
}

struct run_result {
    std::string output;
    int status = -1;
    bytes line; // what the program sent to the device
};

// Runs a command with standard output on a pipe until the output ends. When
// device is a pseudo-terminal master, the device echoes every byte the program
// sends to the port.
run_result run(const std::vector<std::string> &command, const std::string &config_home,
               int device = -1)
{
    run_result result;
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        ADD_FAILURE() << "pipe";
        return result;
    }
    child_streams streams;
    streams.out = pipe_ends[1];
    pid_t pid = spawn(command, streams, config_home);
    close(pipe_ends[1]);

    const time_t give_up = time(nullptr) + 30;
    char chunk[4096];
    for (bool output_open = true; output_open && time(nullptr) < give_up;) {
        struct pollfd ready[2] = {{pipe_ends[0], POLLIN, 0}, {device, POLLIN, 0}};
        if (poll(ready, 2, 100) <= 0)
            continue;
        if ((ready[1].revents & POLLIN) != 0) {
            ssize_t n = read(device, chunk, sizeof chunk);
            if (n > 0) {
                result.line.insert(result.line.end(), chunk, chunk + n);
                write_bytes(device, bytes(chunk, chunk + n));
            }
        }
        if ((ready[0].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = read(pipe_ends[0], chunk, sizeof chunk);
            if (n > 0)
                result.output.append(chunk, (size_t)n);
            else
                output_open = false;
        }
    }
    close(pipe_ends[0]);
    result.status = wait_for(pid, 10000);
    return result;
}

// The characters a terminal shows, without its control sequences and without
// blanks and line ends (Wine's console draws a blank by moving the cursor).
std::string visible_text(const std::string &screen)
{
    std::string text;
    for (size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            i += 2;
            while (i < screen.size() && !(screen[i] >= '@' && screen[i] <= '~'))
                ++i;
        } else if (screen[i] != ' ' && screen[i] != '\r' && screen[i] != '\n') {
            text += screen[i];
        }
    }
    return text;
}

void make_raw(int terminal)
{
    struct termios line;
    ASSERT_EQ(tcgetattr(terminal, &line), 0);
    cfmakeraw(&line);
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &line), 0);
}

bool path_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

class UnderWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        wine_prefix = environment("WINEPREFIX");
        ASSERT_TRUE(path_exists(wine_prefix + "/dosdevices"))
            << "no Wine prefix; run this through ctest in the Windows build directory";
        windows = windows_build();
        ASSERT_TRUE(path_exists(windows.kobrel)) << "KOBREL_EXE: '" << windows.kobrel << "'";
        ASSERT_TRUE(path_exists(windows.console_probe))
            << "KOBREL_CONSOLE_PROBE_EXE: '" << windows.console_probe << "'";
        config_home = port_folder_create();
    }
    void TearDown() override
    {
        for (const std::string &link : wine_port_links)
            unlink(link.c_str());
        port_folder_remove(config_home);
    }

    // COM<number> of both builds: the Linux port folder and the Wine prefix's
    // device links.
    void map_port(int number, const std::string &target)
    {
        port_map(config_home, number, target);
        std::string link = wine_prefix + "/dosdevices/com" + std::to_string(number);
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
        wine_port_links.push_back(link);
    }

    std::string wine_prefix;
    build native = linux_build();
    build windows;
    std::string config_home;
    std::vector<std::string> wine_port_links;
};

TEST_F(UnderWine, RefusalsGiveTheLinuxBuildsBytesAndStatus)
{
    // COM200: no device in either build.
    ASSERT_FALSE(path_exists("/dev/ttyS199"));
    ASSERT_FALSE(path_exists(wine_prefix + "/dosdevices/com200"));
    std::vector<std::string> too_many = {"200", "9600", "n"};
    too_many.insert(too_many.end(), 105, "1");
    const struct {
        std::vector<std::string> arguments;
        std::string text;
        int status;
    } cases[] = {
        {{}, usage, 1},
        {{"5", "9600"}, usage, 1},
        {{"257", "9600", "n", "1"}, "Invalid port number\r\n", 10},
        {{"200", "9600", "n", "1", "CRC1"}, "Opening port '\\\\.\\COM200'\r\nError opening port\r\n", 10},
        {{"0", "9600", "n"}, "Opening port '\\\\.\\COM0'\r\nError opening port\r\n", 10},
        {{"-1", "-9600", "e", "1"}, "Opening port '\\\\.\\COM-1'\r\nError opening port\r\n", 10},
        {too_many, "Too many data bytes: 105 (at most 104)\r\r\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.arguments.size()) + " arguments");
        run_result on_linux = run(command_line(native, native.kobrel, c.arguments), config_home);
        run_result on_wine = run(command_line(windows, windows.kobrel, c.arguments), config_home);
        EXPECT_EQ(on_wine.output, c.text);
        EXPECT_EQ(exit_status(on_wine.status), c.status);
        EXPECT_EQ(on_wine.output, on_linux.output);
        EXPECT_EQ(exit_status(on_wine.status), exit_status(on_linux.status));
    }
}

// Wine 8 refuses RTS_CONTROL_TOGGLE in SetCommState, so kobrel.exe reports
// that and ends; a Wine that takes the setting must give the Linux build's
// whole exchange.
TEST_F(UnderWine, PortOnAPseudoTerminal)
{
    pty_peer device = pty_open();
    make_raw(device.slave);
    map_port(42, device.slave_path);
    const std::vector<std::string> arguments = {"42", "9600", "n", "1", "3", "0", "0", "0", "2", "CRC1", "CRC2"};
    const bytes frame = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
    const std::string opening = "Opening port '\\\\.\\COM42'\r\n";

    run_result on_linux = run(command_line(native, native.kobrel, arguments), config_home, device.master);
    EXPECT_EQ(on_linux.output, opening + "Sending data:\r\r\n" + byte_echo(frame) +
                                   "\r\r\nWaiting for data (timeout of 200 ms):\r\r\n" +
                                   byte_echo(frame) + "\r\r\n");
    EXPECT_EQ(exit_status(on_linux.status), 0);
    EXPECT_EQ(on_linux.line, frame);

    make_raw(device.slave);
    run_result on_wine = run(command_line(windows, windows.kobrel, arguments), config_home, device.master);
    if (exit_status(on_wine.status) == 10) {
        EXPECT_EQ(on_wine.output, opening + "Error setting port parameters (SetCommState)\r\n");
        EXPECT_TRUE(on_wine.line.empty()) << byte_echo(on_wine.line);
        printf("This Wine refuses RTS_CONTROL_TOGGLE: the exchange itself was not run.\n");
    } else {
        EXPECT_EQ(exit_status(on_wine.status), 0);
        EXPECT_EQ(on_wine.output, on_linux.output);
        EXPECT_EQ(on_wine.line, frame);
    }
    pty_close(device);
}

TEST_F(UnderWine, TextStreamGivesTheLinuxBuildsBytes)
{
    const std::string expected = with_crlf(console_probe_text());
    for (const build &target : {native, windows}) {
        run_result result = run(command_line(target, target.console_probe, {"text"}), config_home);
        EXPECT_EQ(exit_status(result.status), 0) << target.name;
        EXPECT_TRUE(result.output == expected)
            << target.name << ": " << result.output.size() << " bytes, expected " << expected.size();
    }
}

// Output that cannot be written is not a success: status 2, quietly, as the
// reader went away.
TEST_F(UnderWine, LostReaderEndsTheRunWithStatus2)
{
    for (const build &target : {native, windows}) {
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        close(pipe_ends[0]);
        child_streams streams;
        streams.out = pipe_ends[1];
        pid_t pid = spawn(command_line(target, target.console_probe, {"lost-output"}), streams,
                          config_home);
        close(pipe_ends[1]);
        EXPECT_EQ(exit_status(wait_for(pid, 20000)), 2) << target.name;
    }
}

// The interrupt scene with standard output redirected to a file: nothing
// reaches the file while the program runs, everything printed reaches it when
// Ctrl+C ends the program.
TEST_F(UnderWine, InterruptDeliversWhatWasPrintedToAFile)
{
    enum delivery { TYPED_ON_THE_TERMINAL, SIGNAL_TO_THE_PROCESS };
    for (delivery how : {TYPED_ON_THE_TERMINAL, SIGNAL_TO_THE_PROCESS}) {
        for (const build &target : {native, windows}) {
            SCOPED_TRACE(std::string(target.name) +
                         (how == TYPED_ON_THE_TERMINAL ? ", Ctrl+C typed" : ", SIGINT"));
            pty_peer terminal = pty_open();
            std::string file = config_home + "/output";
            int err_pipe[2];
            ASSERT_EQ(pipe(err_pipe), 0);
            child_streams streams;
            streams.in = terminal.slave;
            streams.out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            streams.err = err_pipe[1];
            streams.terminal_session = true;
            pid_t pid = spawn(command_line(target, target.console_probe, {"interrupt"}), streams,
                              config_home);
            close(streams.out);
            close(err_pipe[1]);

            EXPECT_NE(read_until(err_pipe[0], "waiting", 20000).find("waiting"), std::string::npos);
            EXPECT_EQ(file_text(file), "") << "output to a file is not held in a buffer";
            if (how == TYPED_ON_THE_TERMINAL)
                write_bytes(terminal.master, {0x03});
            else
                kill(pid, SIGINT);
            int status = wait_for(pid, 20000);

            expect_interrupted(target, status);
            EXPECT_EQ(file_text(file), with_crlf(console_probe_printed));
            close(err_pipe[0]);
            pty_close(terminal);
        }
    }
}

TEST_F(UnderWine, OnAConsoleWhatIsPrintedShowsAtOnce)
{
    for (const build &target : {native, windows}) {
        SCOPED_TRACE(target.name);
        pty_peer terminal = pty_open();
        int err_pipe[2];
        ASSERT_EQ(pipe(err_pipe), 0);
        child_streams streams;
        streams.in = terminal.slave;
        streams.out = terminal.slave;
        streams.err = err_pipe[1];
        streams.terminal_session = true;
        pid_t pid = spawn(command_line(target, target.console_probe, {"interrupt"}), streams,
                          config_home);
        close(err_pipe[1]);

        EXPECT_NE(read_until(err_pipe[0], "waiting", 20000).find("waiting"), std::string::npos);
        // The program is still waiting: what it printed is on the screen.
        const std::string shown = visible_text(console_probe_printed);
        std::string screen;
        for (int attempt = 0; attempt < 100 && visible_text(screen).find(shown) == std::string::npos; ++attempt)
            screen += read_until(terminal.master, ",", 100);
        EXPECT_NE(visible_text(screen).find(shown), std::string::npos) << screen;
        write_bytes(terminal.master, {0x03});
        expect_interrupted(target, wait_for(pid, 20000));
        close(err_pipe[0]);
        pty_close(terminal);
    }
}

} // namespace
