#include "tests/support/broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/sim_meter.h"

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int connect_loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

bool accepts(int port) {
    const int fd = connect_loopback(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

Broker::Broker(const std::string& extra, bool keeps_state) : port_(free_port()), dir_(temp_path("broker")) {
    mkdir(dir_.c_str(), 0700);
    // Started by root, mosquitto would become the mosquitto user, which may read none of our files.
    const passwd* self = getpwuid(getuid());
    std::ofstream(dir_ + "/mosquitto.conf") << "user " << (self != nullptr ? self->pw_name : "root") << "\n"
                                            << "listener " << port_ << " 127.0.0.1\n"
                                            << (extra.empty() ? "allow_anonymous true\n" : extra)
                                            << "persistence " << (keeps_state ? "true" : "false")
                                            << "\npersistence_location " << dir_ << "/\n";
    Start();
}

Broker::~Broker() {
    Stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

void Broker::Start() {
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"mosquitto", "-c", dir_ + "/mosquitto.conf"});
    for (int i = 0; i < kPatienceMs / 25 && !accepts(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

void Broker::Stop() {
    if (!process_) return;
    process_->Kill(SIGTERM);
    process_->Wait();
    process_.reset();
}
