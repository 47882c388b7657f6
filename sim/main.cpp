// qv5810-sim: simulated QV5810 meters on a serial line or a pseudo-terminal.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "sim/line_relay.h"
#include "sim/meter_slave.h"
#include "sim/pseudo_terminal.h"
#include "sim/sim_log.h"

namespace {

volatile std::sig_atomic_t g_running = 1;
void stop(int) { g_running = 0; }

speed_t speed_of(int baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: throw CLI::ValidationError("--baud", "unsupported line speed");
    }
}

int open_serial(const std::string& device, int baud, char parity) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) throw std::runtime_error("cannot open " + device);
    termios tty{};
    tcgetattr(fd, &tty);
    cfmakeraw(&tty);
    cfsetispeed(&tty, speed_of(baud));
    cfsetospeed(&tty, speed_of(baud));
    tty.c_cflag |= CLOCAL | CREAD;
    if (parity != 'N') tty.c_cflag |= PARENB | (parity == 'O' ? PARODD : 0);
    tcsetattr(fd, TCSANOW, &tty);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated QV5810 power meters answering Modbus RTU"};
    std::string port;
    int baud = 9600;
    char parity = 'N';
    std::vector<int> slaves{1};
    std::string log_path;
    LineFaults line_faults;
    SlaveFaults slave_faults;
    OverVoltageEpisode episode;
    bool byte_timing = false;
    app.add_option("--port", port, "serial device to answer on; default: a new pseudo-terminal");
    app.add_option("--baud", baud, "line speed")->capture_default_str();
    app.add_option("--parity", parity, "N, E or O")->check(CLI::IsMember({'N', 'E', 'O'}))->capture_default_str();
    app.add_option("--slave", slaves, "slave address(es) of the meters on the line")
        ->check(CLI::Range(1, 247))->capture_default_str();
    app.add_flag("--byte-timing", byte_timing, "pace every byte and frame gap as the line speed would");
    app.add_option("--drop-every", line_faults.drop_every, "swallow every Nth answer");
    app.add_option("--corrupt-every", line_faults.corrupt_every, "corrupt the CRC of every Nth answer");
    app.add_option("--slow-every", line_faults.slow_every, "delay every Nth answer");
    app.add_option("--slow-ms", line_faults.slow_ms, "delay of a slow answer")->capture_default_str();
    app.add_option("--exception-every", slave_faults.exception_every, "answer every Nth request with an exception");
    app.add_option("--overvoltage-at", episode.first_cycle, "poll cycle at which an over-voltage episode begins");
    app.add_option("--overvoltage-cycles", episode.cycles, "length of the over-voltage episode in cycles")
        ->capture_default_str();
    app.add_option("--log", log_path, "write every answer served as JSON lines to this file");
    CLI11_PARSE(app, argc, argv);

    try {
        std::signal(SIGINT, stop);
        std::signal(SIGTERM, stop);
        SimLog log(log_path);
        std::vector<std::unique_ptr<MeterSlave>> meters;
        std::vector<LineRelay::Meter> routes;
        for (int slave : slaves) {
            meters.push_back(std::make_unique<MeterSlave>(slave, episode, slave_faults, log));
            routes.push_back({slave, meters.back()->relay_fd()});
        }
        std::optional<PseudoTerminal> terminal;
        int line_fd = -1;
        if (port.empty()) {
            terminal.emplace();
            line_fd = terminal->master_fd();
            std::cout << terminal->slave_path() << std::endl;
        } else {
            line_fd = open_serial(port, baud, parity);
            std::cout << port << std::endl;
        }
        LineTiming timing{byte_timing, baud, parity == 'N' ? 10 : 11};
        LineRelay relay(line_fd, routes, line_faults, timing, log);
        relay.Run(g_running);
        if (!terminal) close(line_fd);
    } catch (const std::exception& e) {
        std::cerr << "qv5810-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
