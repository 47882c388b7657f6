// A pseudo-terminal pair in raw mode: the master end for this process, the
// slave end's path for a Modbus peer to open as if it were a serial port.
#pragma once

#include <string>

class PseudoTerminal {
public:
    PseudoTerminal();  // throws std::system_error
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master_fd() const { return master_; }
    // Closes the master end: the peer on the slave end sees a hang-up.
    void HangUp();
    const std::string& slave_path() const { return path_; }

private:
    int master_ = -1;
    // Held open so that reads on the master never see a hang-up while the
    // peer reopens the slave.
    int slave_ = -1;
    std::string path_;
};
