// Standard output and interrupts of the POSIX build, each case in a child
// process whose standard output is a pipe read back byte for byte.
#include "console.h"
#include "console_probe.h"
#include "posix/win_comm.h"
#include "pty_peer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

struct child_result {
    std::string output;
    int status;
};

child_result run_child(const std::function<void()> &body)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {"", -1};
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        body();
        exit(0);
    }
    close(pipe_ends[1]);
    child_result result;
    result.output = read_to_end(pipe_ends[0], 20000);
    close(pipe_ends[0]);
    waitpid(child, &result.status, 0);
    return result;
}

TEST(TextStream, LineFeedsLeaveAsCrLfAndNothingElseChanges)
{
    const std::string text = console_probe_text();
    child_result result = run_child([&] {
        console_setup();
        fputs(text.c_str(), stdout);
        printf("%s", "tail\n");
    });
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(result.output, with_crlf(text + "tail\n"));
}

TEST(TextStream, ClosedStandardDescriptorsAreHeldSoNoDeviceTakesOne)
{
    child_result result = run_child([] {
        close(STDIN_FILENO);
        close(STDERR_FILENO);
        console_setup();
        int device = open("/dev/null", O_RDWR); // as the port would be opened
        printf("%s", device > STDERR_FILENO ? "held" : "taken");
    });
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(result.output, "held");
}

TEST(Interrupt, PrintedOutputReachesThePipeAndTheProcessEndsBySignal)
{
    // Every signal whose default ends the process, but the faults and
    // SIGPIPE (a reader that left is an output failure).
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                              SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGRTMIN, SIGRTMIN + 3, SIGRTMAX}) {
        child_result result = run_child([&] {
            console_setup();
            printf("0x01, 0x02, \n");
            raise(signal_number);
            printf("0x03, ");
            GetTickCount(); // the reply capture's next look at the clock
            printf("never printed");
        });
        ASSERT_TRUE(WIFSIGNALED(result.status)) << signal_number;
        EXPECT_EQ(WTERMSIG(result.status), signal_number);
        EXPECT_EQ(result.output, "0x01, 0x02, \r\n0x03, ");
    }
}

TEST(Interrupt, ArrivingAsTheRunEndsStillCounts)
{
    child_result result = run_child([] {
        console_setup();
        printf("done\n");
        raise(SIGINT);
    });
    ASSERT_TRUE(WIFSIGNALED(result.status));
    EXPECT_EQ(WTERMSIG(result.status), SIGINT);
    EXPECT_EQ(result.output, "done\r\n");
}

TEST(Interrupt, SecondSignalEndsAtOnce)
{
    child_result result = run_child([] {
        console_setup();
        raise(SIGTERM);
        raise(SIGTERM);
        printf("never printed");
    });
    ASSERT_TRUE(WIFSIGNALED(result.status));
    EXPECT_EQ(WTERMSIG(result.status), SIGTERM);
    EXPECT_EQ(result.output, "");
}

TEST(Interrupt, IgnoredSignalStaysIgnored)
{
    child_result result = run_child([] {
        signal(SIGINT, SIG_IGN);
        console_setup();
        raise(SIGINT);
        GetTickCount();
        printf("still here\n");
    });
    ASSERT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 0);
    EXPECT_EQ(result.output, "still here\r\n");
}

} // namespace
