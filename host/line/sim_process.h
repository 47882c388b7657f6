// The simulated meter as a child process, on a pseudo-terminal or behind
// Modbus TCP, for a bench with no meter attached. It ends with this process however this one ends:
// it watches a pipe whose only write end is held here.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
public:
    enum class Answers { on_terminal, over_tcp };

    // Starts `program` with `arguments` (under `emulator` when one is named,
    // as a foreign-architecture build needs) and waits for what it answers
    // on: the terminal path or the TCP port it prints. Throws std::runtime_error.
    SimProcess(const std::string& program, const std::vector<std::string>& arguments, Answers answers,
               const std::string& emulator = "");
    ~SimProcess();  // stops the simulator
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& port() const { return port_; }  // the terminal's path, or the TCP port
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int lifeline_ = -1;  // write end; closing it (or dying) ends the simulator
    std::string port_;
};
