// The bench host's main loop: the controller's polling, control and cache
// handling for the configured meters on one line.
#pragma once

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qmxhost/event_report.h"
#include "host/qmxhost/host_config.h"
#include "host/qmxhost/rtu_line.h"
#include "host/runtime/host_binding.h"

struct HostOptions {
    int cycles = 0;  // 0: until interrupted
    double interval_seconds = 1.0;
    bool snapshot = false;
    std::vector<std::uint16_t> write;  // address, then values; empty: no write
};

class BenchHost {
public:
    BenchHost(const HostConfig& config, const HostOptions& options, std::vector<std::unique_ptr<SPModbus>> devices,
              RtuLine& line, EventReport& report);
    ~BenchHost();

    // Hands each device its newest stored record, as the controller's cache does.
    void ReloadFrom(HistoryDb& history);
    // Polls until the cycle count is reached or `stop` is raised; returns
    // the process exit status.
    int Run(const volatile std::sig_atomic_t& stop);

private:
    struct Stats {
        int completed = 0;
        int failed = 0;
        double total_ms = 0;
        std::map<std::string, int> failures;
    };
    bool RunExchanges(SPModbus& device, Stats& stats);
    void Poll(SPModbus& device, int cycle, Stats& stats);
    void WriteAndConfirm(SPModbus& device);
    std::string Snapshot(SPModbus& device);
    void Summarize();

    const HostConfig& config_;
    HostOptions options_;
    std::vector<std::unique_ptr<SPModbus>> devices_;
    std::vector<HostBinding> bindings_;
    std::vector<Stats> stats_;
    RtuLine& line_;
    EventReport& report_;
};
