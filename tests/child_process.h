// Programs under test run as child processes: their standard output on a pipe
// or in a file, their port folder under a private XDG_CONFIG_HOME.
#ifndef KOBREL_TESTS_CHILD_PROCESS_H
#define KOBREL_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

struct child_process {
    pid_t pid = -1;
    int output = -1; // read end of the standard output pipe, if any
    int status = -1; // as waitpid reports it, once the child ended
};

// Starts program with the arguments; standard output goes to a pipe when
// output_file is empty, else to that file (created or truncated).
child_process child_start(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &config_home, const std::string &output_file = "");

// Collects standard output until the child ends (waiting at most timeout_ms
// for each piece and for the end), then reaps it.
std::string child_finish(child_process &child, int timeout_ms = 20000);

// Kills a child that is still running and closes its pipe.
void child_kill(child_process &child);

// The whole content of a file the child wrote, or a note that it is missing.
std::string file_text(const std::string &path);

// The exit status, or -1 when the child ended by a signal or has not ended.
int child_exit_code(const child_process &child);

#endif
