#include "support/Process.h"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace Database::Testing {
namespace {

[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& workingDirectory) {
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
        _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// Reads both descriptors until each reports its end.
void Drain(int outFd, int errFd, ProcessResult& result) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = errFd >= 0 ? 2 : 1;
    char chunk[4096];
    while (open > 0) {
        if (poll(fds, errFd >= 0 ? 2 : 1, 30000) <= 0)
            break;
        for (int index = 0; index < 2; ++index) {
            if (fds[index].fd < 0 || fds[index].revents == 0)
                continue;
            const ssize_t got = read(fds[index].fd, chunk, sizeof chunk);
            if (got <= 0) {
                fds[index].fd = -1;
                --open;
                continue;
            }
            (index == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(got));
        }
    }
}

int Wait(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory, bool onTerminal) {
    ProcessResult result;
    if (onTerminal) {
        int terminal = -1;
        const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == 0)
            Exec(program, arguments, workingDirectory);
        if (child < 0)
            return result;
        Drain(terminal, -1, result);
        close(terminal);
        result.exitStatus = Wait(child);
        return result;
    }
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        Exec(program, arguments, workingDirectory);
    }
    close(out[1]);
    close(err[1]);
    if (child > 0)
        Drain(out[0], err[0], result);
    close(out[0]);
    close(err[0]);
    if (child > 0)
        result.exitStatus = Wait(child);
    return result;
}

}  // namespace Database::Testing
