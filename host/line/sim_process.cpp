#include "host/line/sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {
constexpr int kLifelineFd = 3;  // where the simulator finds the read end
}

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& arguments, Answers answers,
                       const std::string& emulator) {
    // Close-on-exec, so no other child of ours holds the lifeline open.
    int out[2];
    int lifeline[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    if (pipe2(lifeline, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, lifeline[0], kLifelineFd);
    std::vector<std::string> argv_text{program, "--lifeline-fd", std::to_string(kLifelineFd)};
    if (!emulator.empty()) argv_text.insert(argv_text.begin(), emulator);
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    // This process blocks its stop signals in every thread; the simulator
    // must take its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int spawned = posix_spawn(&pid_, argv_text.front().c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(lifeline[0]);
    lifeline_ = lifeline[1];
    if (spawned != 0) {
        close(out[0]);
        close(lifeline_);
        pid_ = -1;
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
    }
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') port_ += c;
    close(out[0]);
    // Its first line names the terminal or the port it answers on; anything
    // else (its help, say, for a --sim-arg it was given) is neither.
    const bool tcp = answers == Answers::over_tcp;
    const bool named = tcp ? !port_.empty() && port_.find_first_not_of("0123456789") == std::string::npos
                           : !port_.empty() && port_.front() == '/';
    if (!named) {
        close(lifeline_);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error(program + (tcp ? " printed no TCP port" : " printed no terminal") +
                                 (port_.empty() ? std::string() : " but: " + port_));
    }
}

SimProcess::~SimProcess() {
    if (pid_ <= 0) return;
    close(lifeline_);
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}
