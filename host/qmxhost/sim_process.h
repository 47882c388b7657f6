// The simulated meter as a child process on a pseudo-terminal, for a bench
// with no meter attached.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
public:
    // Starts `program` with `arguments` and waits for the terminal path it
    // prints. Throws std::runtime_error.
    SimProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~SimProcess();  // stops the simulator
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string port_;
};
