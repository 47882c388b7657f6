// qv5810-sim: simulated QV5810 meters on a serial line, a pseudo-terminal or
// behind Modbus TCP.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "host/common/line_speeds.h"
#include "sim/number_options.h"

#include "sim/line_relay.h"
#include "sim/meter_slave.h"
#include "sim/pseudo_terminal.h"
#include "sim/sim_log.h"
#include "sim/tcp_gateway.h"

namespace {

// Lowered by a signal and by the lifeline's thread, read by the line's and
// the gateway's: lock-free, so a handler may store it.
std::atomic<bool> g_running{true};
static_assert(std::atomic<bool>::is_always_lock_free, "stored in a signal handler");
void stop(int) { g_running = false; }

std::atomic<int> g_overvoltage_requests{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted up in a signal handler");
void request_overvoltage(int) { ++g_overvoltage_requests; }

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
        case 230400: return B230400;
        case 460800: return B460800;
        case 921600: return B921600;
        default: throw CLI::ValidationError("--baud", "unsupported line speed");
    }
}

// The parent holds the write end of this pipe and nothing else does: the
// read end sees end-of-file the moment the parent is gone, however it died.
void watch_lifeline(int fd) {
    std::thread([fd] {
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0) {
        }
        g_running = false;
    }).detach();
}

int open_serial(const std::string& device, int baud, char parity, int data_bits, int stop_bits) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) throw std::runtime_error("cannot open " + device);
    termios tty{};
    tcgetattr(fd, &tty);
    cfmakeraw(&tty);
    cfsetispeed(&tty, speed_of(baud));
    cfsetospeed(&tty, speed_of(baud));
    tty.c_cflag |= CLOCAL | CREAD;
    if (parity != 'N') tty.c_cflag |= PARENB | (parity == 'O' ? PARODD : 0);
    if (data_bits == 7) tty.c_cflag = (tty.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
    if (stop_bits == 2) tty.c_cflag |= CSTOPB;
    tcsetattr(fd, TCSANOW, &tty);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated QV5810 power meters answering Modbus RTU or Modbus TCP"};
    std::string port;
    int baud = 9600;
    char parity = 'N';
    std::vector<int> slaves{1};
    std::string log_path;
    LineFaults line_faults;
    SlaveFaults slave_faults;
    OverVoltageEpisode episode;
    bool byte_timing = false;
    auto* port_option = app.add_option("--port", port, "serial device to answer on; default: a new pseudo-terminal");
    int tcp_port = -1;
    add_whole_option(app, "--tcp", tcp_port, 0, 65535,
                     "answer Modbus TCP on this port of every local IPv4 address (0: a free one), as a gateway to the meters")
        ->excludes(port_option);
    int lifeline_fd = -1;
    add_whole_option(app, "--baud", [&baud](long long speed) {
        if (!is_line_speed(speed)) throw std::invalid_argument("must be one of " + line_speed_list());
        baud = static_cast<int>(speed);
    }, 1, 921600, "line speed (default 9600)");
    app.add_option("--parity", parity, "N, E or O")->check(CLI::IsMember({'N', 'E', 'O'}))->capture_default_str();
    int data_bits = 8;
    int stop_bits = 1;
    add_whole_option(app, "--data-bits", data_bits, 7, 8, "data bits of a character, for the pacing (default 8)");
    add_whole_option(app, "--stop-bits", stop_bits, 1, 2, "stop bits of a character, for the pacing (default 1)");
    bool slaves_given = false;
    add_whole_option(app, "--slave", [&](long long slave) {
        if (!slaves_given) slaves.clear();
        slaves_given = true;
        slaves.push_back(static_cast<int>(slave));
    }, 1, 247, "slave address of a meter on the line (repeatable; default 1)");
    add_whole_option(app, "--faults-on", [&](long long slave) {
        line_faults.slaves.push_back(static_cast<int>(slave));
    }, 1, 247, "the faults fall on this slave's answers only (repeatable; default: every slave's)");
    std::vector<int> absent;
    add_whole_option(app, "--absent", [&absent](long long slave) { absent.push_back(static_cast<int>(slave)); }, 1, 247,
                     "a slave address that never answers, as a meter switched off (repeatable)");
    app.add_flag("--byte-timing", byte_timing, "pace every byte and frame gap as the line speed would");
    constexpr long long kMost = 1000000;
    add_whole_option(app, "--drop-every", line_faults.drop_every, 0, kMost, "swallow every Nth answer");
    add_whole_option(app, "--corrupt-every", line_faults.corrupt_every, 0, kMost,
                     "corrupt the CRC of every Nth answer (not with --tcp: Modbus TCP carries no CRC)")
        ->excludes("--tcp");
    add_whole_option(app, "--slow-every", line_faults.slow_every, 0, kMost, "delay every Nth answer");
    add_whole_option(app, "--slow-ms", line_faults.slow_ms, 0, 600000, "delay of a slow answer");
    add_whole_option(app, "--stray-every", line_faults.stray_every, 0, kMost,
                     "put another slave's answer on the line before every Nth answer, which follows --slow-ms later")
        ->excludes("--tcp");
    add_whole_option(app, "--exception-every", slave_faults.exception_every, 0, kMost,
                     "answer every Nth request with an exception");
    add_whole_option(app, "--short-every", slave_faults.short_every, 0, kMost,
                     "answer every Nth read with one register fewer than asked, with a valid CRC");
    add_whole_option(app, "--overvoltage-at", episode.first_cycle, 0, kMost,
                     "poll cycle at which an over-voltage episode begins");
    add_whole_option(app, "--overvoltage-cycles", episode.cycles, 0, kMost,
                     "length of the over-voltage episode in cycles");
    bool overvoltage_on_signal = false;
    app.add_flag("--overvoltage-on-usr1", overvoltage_on_signal,
                 "begin an over-voltage episode of --overvoltage-cycles cycles at each SIGUSR1");
    add_whole_option(app, "--lifeline-fd", lifeline_fd, 0, 65535,
                     "end when this inherited pipe reaches end-of-file (the parent is gone)");
    app.add_option("--log", log_path, "write every answer served as JSON lines to this file");
    std::string state_path;
    app.add_option("--state", state_path, "keep the meters' energy counters in this file across restarts");
    CLI11_PARSE(app, argc, argv);

    try {
        std::signal(SIGINT, stop);
        std::signal(SIGTERM, stop);
        std::signal(SIGHUP, stop);
        std::signal(SIGPIPE, SIG_IGN);
        if (overvoltage_on_signal) {
            episode.requests = &g_overvoltage_requests;
            std::signal(SIGUSR1, request_overvoltage);
        }
        if (lifeline_fd >= 0) watch_lifeline(lifeline_fd);
        SimLog log(log_path);
        EnergyStore energies(state_path);  // outlives the meters, which hand it their counters
        std::vector<std::unique_ptr<MeterSlave>> meters;
        std::vector<LineRelay::Meter> routes;
        for (int slave : slaves) {
            if (std::find(absent.begin(), absent.end(), slave) != absent.end()) continue;
            const SlaveFaults faults = faults_fall_on(line_faults.slaves, slave) ? slave_faults : SlaveFaults{};
            meters.push_back(std::make_unique<MeterSlave>(slave, episode, faults, log, energies));
            routes.push_back({slave, meters.back()->relay_fd()});
        }
        std::optional<PseudoTerminal> terminal;
        int line_fd = -1;
        if (tcp_port >= 0) {
            terminal.emplace();  // the gateway's line to the meters
            line_fd = terminal->master_fd();
        } else if (port.empty()) {
            terminal.emplace();
            line_fd = terminal->master_fd();
            std::cout << terminal->slave_path() << std::endl;
        } else {
            line_fd = open_serial(port, baud, parity, data_bits, stop_bits);
            std::cout << port << std::endl;
        }
        // A start bit, the data bits, a parity bit when there is one, the stop bits.
        LineTiming timing{byte_timing, baud, 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits};
        // Behind the gateway the line is sound: the faults are the link's, dealt by the gateway.
        LineRelay relay(line_fd, routes, tcp_port >= 0 ? LineFaults{} : line_faults, timing, log);
        if (tcp_port >= 0) {
            TcpGateway gateway(tcp_port, terminal->slave_path(), relay.LongestAnswerMs(), line_faults, log);
            std::cout << gateway.port() << std::endl;
            std::thread line([&relay] { relay.Run(g_running); });
            try {
                gateway.Run(g_running);
            } catch (...) {
                g_running = false;
                line.join();
                throw;
            }
            line.join();
        } else {
            relay.Run(g_running);
        }
        if (!terminal) close(line_fd);
    } catch (const std::exception& e) {
        std::cerr << "qv5810-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
