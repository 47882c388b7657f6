// The bench host's main loop: the controller's polling, control and cache
// handling for the configured meters on one line.
#pragma once

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qmxhost/clock.h"
#include "host/qmxhost/history_db.h"
#include "host/qmxhost/host_config.h"
#include "host/qmxhost/meter_backoff.h"
#include "host/qmxhost/report_fanout.h"
#include "host/qmxhost/modbus_line.h"
#include "host/qmxhost/write_inbox.h"
#include "host/runtime/host_binding.h"

struct HostOptions {
    int cycles = 0;  // 0: until interrupted
    double interval_seconds = 1.0;
    std::vector<std::uint16_t> write;  // address, then values; empty: no write
    WriteInbox* inbox = nullptr;       // writes asked for while polling; none: no such writes
};

// What one meter did over the run.
struct MeterStats {
    int completed = 0;
    int failed = 0;
    int skipped = 0;  // cycles left out while backed off
    int retries = 0;
    double total_ms = 0;
    std::vector<double> latency_ms;     // per answered request
    std::vector<double> wire_ms;        // the request's and answer's wire time at the line's speed
    std::vector<double> turnaround_ms;  // latency less the wire time
    std::map<std::string, int> failures;
};

class BenchHost {
public:
    BenchHost(const HostConfig& config, const HostOptions& options, std::vector<std::unique_ptr<SPModbus>> devices,
              ModbusLine& line, ReportFanout& report, Clock& clock);
    ~BenchHost();

    // Hands each device its newest stored record, as the controller's cache does.
    void ReloadFrom(HistoryDb& history);
    // Polls until the cycle count is reached or `stop` is raised; returns
    // the process exit status (exit_status.h).
    int Run(const volatile std::sig_atomic_t& stop);

    const std::vector<MeterStats>& stats() const { return stats_; }

private:
    bool RunExchanges(SPModbus& device, int cycle, MeterStats& stats);
    void Poll(std::size_t meter, int cycle);
    std::int32_t WriteAndConfirm(std::size_t meter, const std::vector<std::uint16_t>& words, int cycle);
    void ServeInbox(int cycle);
    void WaitServingInbox(Clock::time_point until, int cycle, const volatile std::sig_atomic_t& stop);
    std::string Snapshot(SPModbus& device);
    void Summarize(int cycles, int skipped_slots);

    const HostConfig& config_;
    HostOptions options_;
    std::vector<std::unique_ptr<SPModbus>> devices_;
    std::vector<HostBinding> bindings_;
    std::vector<MeterStats> stats_;
    std::vector<MeterBackoff> backoff_;
    ModbusLine& line_;
    ReportFanout& report_;
    Clock& clock_;
};
