// A program run by a test, its standard output read line by line.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class ChildProcess {
public:
    enum class Output { only, with_errors };  // standard output alone, or standard error in it too

    // Runs `argv` (under the cross-build emulator when there is one), after
    // `wrapper` when given: a command that ends by running its arguments.
    explicit ChildProcess(std::vector<std::string> argv, Output output = Output::only,
                          const std::vector<std::string>& wrapper = {});
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output, or nothing when the child closed its output
    // or `timeout_ms` passed.
    std::optional<std::string> ReadLine(int timeout_ms);
    // Every line up to the end of output; then the exit status.
    std::vector<std::string> ReadAll(int timeout_ms);
    int Wait();
    void Kill(int signal);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};
