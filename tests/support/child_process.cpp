#include "tests/support/child_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

ChildProcess::ChildProcess(std::vector<std::string> argv, Output output, const std::vector<std::string>& wrapper) {
    const std::string emulator = QV5810_TEST_EMULATOR;
    if (!emulator.empty()) argv.insert(argv.begin(), emulator);
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    if (output == Output::with_errors) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int failed = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out_ = pipe_fds[0];
    if (failed != 0) throw std::runtime_error(std::string("cannot start ") + args[0] + ": " + std::strerror(failed));
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        Kill(SIGKILL);
        Wait();
    }
    close(out_);
}

std::optional<std::string> ChildProcess::ReadLine(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> ChildProcess::ReadAll(int timeout_ms) {
    std::vector<std::string> lines;
    while (auto line = ReadLine(timeout_ms)) lines.push_back(*line);
    return lines;
}

int ChildProcess::Wait() {
    if (!status_) {
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return *status_;
}

void ChildProcess::Kill(int signal) {
    if (!status_) kill(pid_, signal);
}
