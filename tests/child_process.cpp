#include "child_process.h"

#include "pty_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdio.h>

#include <stdexcept>

child_process child_start(const std::string &program, const std::vector<std::string> &arguments,
                          const std::string &config_home, const std::string &output_file)
{
    child_process child;
    int pipe_ends[2] = {-1, -1};
    if (output_file.empty() && pipe(pipe_ends) != 0)
        throw std::runtime_error("pipe failed");
    child.pid = fork();
    if (child.pid < 0)
        throw std::runtime_error("fork failed");
    if (child.pid == 0) {
        int target = output_file.empty()
                         ? pipe_ends[1]
                         : open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(target, STDOUT_FILENO);
        closefrom(STDERR_FILENO + 1); // the child holds nothing of the test's
        setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (output_file.empty()) {
        close(pipe_ends[1]);
        child.output = pipe_ends[0];
    }
    return child;
}

std::string child_finish(child_process &child, int timeout_ms)
{
    std::string text = child.output >= 0 ? read_to_end(child.output, timeout_ms) : "";
    if (child.output >= 0) {
        close(child.output);
        child.output = -1;
    }
    for (int waited = 0; child.pid > 0 && waited < timeout_ms; waited += 5) {
        if (waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
            child.pid = -1;
            return text;
        }
        usleep(5000);
    }
    if (child.pid > 0)
        throw std::runtime_error("child process did not end");
    return text;
}

void child_kill(child_process &child)
{
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &child.status, 0);
        child.pid = -1;
    }
    if (child.output >= 0) {
        close(child.output);
        child.output = -1;
    }
}

int child_exit_code(const child_process &child)
{
    return child.pid < 0 && WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
}

std::string file_text(const std::string &path)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return "(no file " + path + ")";
    char chunk[65536];
    for (size_t count; (count = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, count);
    fclose(file);
    return text;
}
