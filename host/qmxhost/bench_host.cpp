#include "host/qmxhost/bench_host.h"

#include "framework/control_codes.h"

#include <chrono>
#include <iomanip>
#include <sstream>
#include <thread>

namespace {

// The wire time of one poll cycle: four 8-byte requests, answers of 5 bytes
// plus two per register, and a 3.5-character silence before each frame.
double wire_limit_ms(const LineSettings& line) {
    const int registers = 22 + 32 + 16 + 8;
    const double characters = 4 * 8 + (4 * 5 + 2 * registers) + 8 * 3.5;
    return characters * line.BitsPerCharacter() * 1000.0 / line.baud;
}

}  // namespace

BenchHost::BenchHost(const HostConfig& config, const HostOptions& options,
                     std::vector<std::unique_ptr<SPModbus>> devices, RtuLine& line, EventReport& report)
    : config_(config), options_(options), devices_(std::move(devices)), bindings_(devices_.size()),
      stats_(devices_.size()), line_(line), report_(report) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        bindings_[i].sink = &report_;
        bindings_[i].transport = &line_;
        const DeviceConfig& device = config_.devices[i];
        HostBinding::Attach(*devices_[i], &bindings_[i], device.data_id);
        for (const auto& [key, threshold] : device.thresholds) {
            HostBinding::SetThreshold(*devices_[i], key, threshold.level, threshold.value);
        }
        devices_[i]->InitSetting(device.setting);
    }
}

BenchHost::~BenchHost() = default;

void BenchHost::ReloadFrom(HistoryDb& history) {
    for (auto& device : devices_) {
        if (auto record = history.Latest(device->DataId())) {
            const int taken = device->LoadFromCache(record->data(), static_cast<int>(record->size()));
            report_.Note("device " + std::to_string(device->DataId()) + ": cached record " +
                         (taken == 1 ? "reloaded" : "refused"));
        }
    }
}

// Runs the device's queued requests until it asks for nothing more; false
// when one failed.
bool BenchHost::RunExchanges(SPModbus& device, Stats& stats) {
    while (line_.HasPending()) {
        const Exchange exchange = line_.RunPending();
        if (exchange.outcome == Exchange::answered) continue;
        ++stats.failures[outcome_name(exchange.outcome)];
        report_.Error(device, exchange);
        if (!exchange.delivered) return false;
    }
    return true;
}

void BenchHost::Poll(SPModbus& device, int cycle, Stats& stats) {
    const int published = report_.publications();
    const auto start = std::chrono::steady_clock::now();
    device.RefreshStatus();
    const bool answered = RunExchanges(device, stats);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!answered || report_.publications() == published) {
        ++stats.failed;
        if (answered) ++stats.failures["incomplete"];
        return;
    }
    ++stats.completed;
    stats.total_ms += ms;
    report_.CycleDone(device, cycle, ms);
    report_.Snapshot(device, Snapshot(device), options_.snapshot);
}

std::string BenchHost::Snapshot(SPModbus& device) {
    std::string text(4096, '\0');
    int written = 0;
    if (device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()), written) != 0) {
        text.resize(static_cast<std::size_t>(written));
        device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()), written);
    }
    text.resize(static_cast<std::size_t>(written));
    return text;
}

void BenchHost::WriteAndConfirm(SPModbus& device) {
    const bool single = options_.write.size() == 2;
    int written = 0;
    const int code = single ? control_code::kWriteRegister : control_code::kWriteRegisters;
    device.DeviceIoControl(code, options_.write.data(), static_cast<int>(options_.write.size() * 2), nullptr, 0,
                           written);
    Stats ignored;
    RunExchanges(device, ignored);
    std::int32_t status = 0;
    device.DeviceIoControl(control_code::kWriteStatusQuery, nullptr, 0, &status, sizeof status, written);
    report_.WriteStatus(device, status);
}

int BenchHost::Run(const volatile std::sig_atomic_t& stop) {
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    for (int cycle = 1; !stop && (options_.cycles == 0 || cycle <= options_.cycles); ++cycle) {
        for (std::size_t i = 0; i < devices_.size() && !stop; ++i) Poll(*devices_[i], cycle, stats_[i]);
        if (cycle == 1 && !options_.write.empty()) WriteAndConfirm(*devices_.front());
        next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(options_.interval_seconds));
        if (options_.cycles == 0 || cycle < options_.cycles) std::this_thread::sleep_until(next);
    }
    Summarize();
    return 0;
}

void BenchHost::Summarize() {
    Json::Value summary;
    std::ostringstream text;
    const double limit = wire_limit_ms(config_.line);
    text << std::fixed << std::setprecision(1) << "\nsummary (" << config_.line.baud << " baud, "
         << config_.line.BitsPerCharacter() << " bits per character; wire limit of one cycle " << limit
         << " ms)\n";
    summary["wire_limit_ms"] = limit;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const Stats& s = stats_[i];
        const double mean = s.completed > 0 ? s.total_ms / s.completed : 0.0;
        Json::Value device;
        device["device"] = devices_[i]->DataId();
        device["completed"] = s.completed;
        device["failed"] = s.failed;
        device["mean_cycle_ms"] = mean;
        text << "  device " << devices_[i]->DataId() << " (" << config_.devices[i].name << "): " << s.completed
             << " cycles completed, " << s.failed << " failed";
        for (const auto& [why, count] : s.failures) {
            device["failures"][why] = count;
            text << ", " << count << " " << why;
        }
        text << "; mean cycle " << mean << " ms\n";
        summary["devices"].append(device);
    }
    report_.Summary(summary, text.str());
}
