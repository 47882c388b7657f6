// The Modbus server as a client meets it: fed by a real poll loop against a
// real qv5810-sim on a thread of its own, or by hand, and asked through
// libmodbus's own client on a free loopback port.
#pragma once

#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "host/report/outlets.h"
#include "host/core/poll_loop.h"
#include "host/config/settings_table.h"
#include "host/line/libmodbus_rtu_context.h"
#include "host/line/sim_process.h"
#include "host/modbus_server/modbus_server.h"
#include "meter/qv5810.h"
#include "tests/support/sim_meter.h"

// Waits for `done`, asking again every 20 ms, at most the tests' patience.
inline bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// libmodbus's client, one connection, asking one unit.
class Client {
public:
    explicit Client(int port, int unit = 1) : context_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_response_timeout(context_, static_cast<std::uint32_t>(kPatienceMs / 1000), 0);
        modbus_set_slave(context_, unit);
        connected_ = modbus_connect(context_) == 0;
    }
    ~Client() {
        modbus_close(context_);
        modbus_free(context_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    modbus_t* context() { return context_; }

    // The registers, or the error libmodbus reports (an exception is
    // MODBUS_ENOBASE plus its code: EMBXILADD and the others).
    struct Read {
        std::vector<std::uint16_t> registers;
        int error = 0;
    };
    Read Registers(int first, int count, bool input = false) {
        Read read;
        read.registers.resize(static_cast<std::size_t>(count));
        const int rc = input ? modbus_read_input_registers(context_, first, count, read.registers.data())
                             : modbus_read_registers(context_, first, count, read.registers.data());
        if (rc != count) read = {{}, rc < 0 ? errno : -1};
        return read;
    }
    // 0 when the server took the write, else errno as above.
    int Write(int address, std::vector<std::uint16_t> values) {
        const int rc = values.size() == 1
                           ? modbus_write_register(context_, address, values.front())
                           : modbus_write_registers(context_, address, static_cast<int>(values.size()), values.data());
        return rc < 0 ? errno : 0;
    }

private:
    modbus_t* context_;
    bool connected_ = false;
};

// qv5810-sim on a pseudo-terminal, polled every 50 ms, its one meter served.
class PolledServerRig {
public:
    explicit PolledServerRig(bool allow_writes)
        : log_(temp_path("sim.log")),
          sim_(QV5810_TEST_SIM, {"--log", log_}, SimProcess::Answers::on_terminal, QV5810_TEST_EMULATOR),
          config_(Config(sim_.port())),
          site_(Site(config_)),
          context_(config_.lines.front().line, stop_),
          line_(context_, RetryPolicy{config_.lines.front().line.retries, 0, config_.lines.front().line.response_timeout_ms, config_.lines.front().line.response_timeout_ms}, clock_, stop_),
          served_(site_, clock_),
          server_(served_, ListenAddress{"127.0.0.1", 0}, allow_writes ? &inbox_ : nullptr) {
        outlets_.Add("state", {&served_}, Mailbox{});
        PollOptions options;
        options.interval_seconds = 0.05;
        options.inbox = &inbox_;
        std::vector<std::unique_ptr<SPModbus>> devices;
        devices.push_back(std::make_unique<QV5810>());
        loop_ = std::make_unique<PollLoop>(config_.lines.front().devices, site_.front(), options, std::move(devices), line_,
                                           outlets_, clock_);
        poller_ = std::thread([this] { loop_->Run(stop_); });
    }
    ~PolledServerRig() {
        stop_.Request();
        poller_.join();
        outlets_.Close();
        inbox_.Close();
        server_.Stop();
        std::remove(log_.c_str());
    }
    PolledServerRig(const PolledServerRig&) = delete;
    PolledServerRig& operator=(const PolledServerRig&) = delete;

    int port() const { return server_.port(); }
    const std::string& sim_log() const { return log_; }

private:
    static std::vector<LineInfo> Site(const HostSettings& config) { return {describe_line(0, "rig line", config.lines.front())}; }

    static HostSettings Config(const std::string& port) {
        HostSettings config = load_settings_file(QV5810_TEST_CONFIG);
        config.lines.front().line.port = port;
        config.lines.front().line.response_timeout_ms = 2000;
        return config;
    }

    std::string log_;
    SimProcess sim_;
    HostSettings config_;
    std::vector<LineInfo> site_;
    SteadyClock clock_;
    StopSignal stop_;
    LibmodbusRtuContext context_;
    ModbusLine line_;
    WriteInbox inbox_;
    ServedMeters served_;
    ModbusServer server_;
    Outlets outlets_;
    std::unique_ptr<PollLoop> loop_;
    std::thread poller_;
};
