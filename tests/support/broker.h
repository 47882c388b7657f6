// A real Mosquitto on a free loopback port for the tests, and the port
// helpers they share.
#pragma once

#include <memory>
#include <string>

#include "tests/support/child_process.h"

// A loopback port nothing listens on now.
int free_port();
// A connection to the loopback port, or -1 when nothing takes it.
int connect_loopback(int port);
// Something accepts connections on the loopback port.
bool accepts(int port);

// Mosquitto on a free loopback port, keeping its sessions and retained
// messages across a restart unless told to forget them. `extra` replaces
// the anonymous access of the configuration with its own lines.
class Broker {
public:
    explicit Broker(const std::string& extra = "", bool keeps_state = true);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    void Start();
    void Stop();
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    const std::string& dir() const { return dir_; }

private:
    int port_;
    std::string dir_;
    std::unique_ptr<ChildProcess> process_;
};
