#include "host/qmxhost/bench_host.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "framework/control_codes.h"
#include "host/qmxhost/exit_status.h"
#include "host/qmxhost/poll_schedule.h"

namespace {

double exchange_wire_ms(const LineSettings& line, const Exchange& exchange) {
    const double characters = exchange.request_bytes + exchange.answer_bytes + 2 * 3.5;
    return characters * line.BitsPerCharacter() * 1000.0 / line.baud;
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread spread_of(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

Json::Value spread_json(const Spread& s) {
    Json::Value value;
    value["min"] = s.min;
    value["median"] = s.median;
    value["max"] = s.max;
    return value;
}

bool has_enabled_alarm(const DeviceConfig& device) {
    for (const auto& [key, threshold] : device.thresholds) {
        if (threshold.level != 0) return true;
    }
    return false;
}

}  // namespace

BenchHost::BenchHost(const HostConfig& config, const HostOptions& options,
                     std::vector<std::unique_ptr<SPModbus>> devices, ModbusLine& line, ReportFanout& report, Clock& clock)
    : config_(config), options_(options), devices_(std::move(devices)), bindings_(devices_.size()),
      stats_(devices_.size()), backoff_(devices_.size()), line_(line), report_(report), clock_(clock) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        bindings_[i].sink = &report_;
        bindings_[i].transport = &line_;
        const DeviceConfig& device = config_.devices[i];
        HostBinding::Attach(*devices_[i], &bindings_[i], device.data_id);
        for (const auto& [key, threshold] : device.thresholds) {
            HostBinding::SetThreshold(*devices_[i], key, threshold.level, threshold.value);
        }
        if (devices_[i]->InitSetting(device.setting) != 1) {
            report_.Problem("device " + std::to_string(device.data_id) + " refused its setting");
        }
        if (!setting_evaluates_alarms(device.setting) && has_enabled_alarm(device)) {
            report_.Problem("device " + std::to_string(device.data_id) +
                            ": alarm levels are configured, but setting.appSetting.b_mode is not 2, "
                            "so the device evaluates no alarm rule");
        }
    }
}

BenchHost::~BenchHost() = default;

void BenchHost::ReloadFrom(HistoryDb& history) {
    report_.StoringAs(RecordKind::reload);
    for (auto& device : devices_) {
        if (auto record = history.Latest(device->DataId())) {
            const int taken = device->LoadFromCache(record->data(), static_cast<int>(record->size()));
            report_.Reloaded(*device, taken == 1);
        }
    }
    report_.StoringAs(RecordKind::poll);
}

// Runs the device's queued requests until it asks for nothing more; false
// when one failed.
bool BenchHost::RunExchanges(SPModbus& device, int cycle, MeterStats& stats) {
    while (line_.HasPending()) {
        const Exchange exchange = line_.RunPending();
        stats.retries += exchange.attempts > 1 ? exchange.attempts - 1 : 0;
        if (exchange.outcome == Exchange::answered) {
            stats.latency_ms.push_back(exchange.latency_ms);
            // Over TCP no serial line is in sight, not even a gateway's.
            if (!config_.line.IsTcp()) {
                const double wire = exchange_wire_ms(config_.line, exchange);
                stats.wire_ms.push_back(wire);
                stats.turnaround_ms.push_back(exchange.latency_ms - wire);
            }
        } else {
            ++stats.failures[outcome_name(exchange.outcome)];
        }
        if (exchange.outcome != Exchange::answered || exchange.attempts > 1) {
            report_.ExchangeTroubled(device, cycle, exchange);
        }
        if (!exchange.delivered) return false;
    }
    return true;
}

void BenchHost::Poll(std::size_t meter, int cycle) {
    SPModbus& device = *devices_[meter];
    MeterStats& stats = stats_[meter];
    MeterBackoff& backoff = backoff_[meter];
    if (!backoff.DueIn(cycle)) {
        ++stats.skipped;
        return;
    }
    const int published = report_.publications();
    const auto start = clock_.Now();
    device.RefreshStatus();
    const bool answered = RunExchanges(device, cycle, stats);
    const double ms = milliseconds_between(start, clock_.Now());
    if (!answered || report_.publications() == published) {
        ++stats.failed;
        if (answered) ++stats.failures["incomplete"];
        report_.CycleFailed(device, cycle);
        if (const int pause = backoff.Failed(cycle); pause > 0) {
            report_.BackingOff(device, cycle, backoff.failures(), backoff.next_cycle());
        }
        return;
    }
    if (backoff.Completed()) report_.Recovered(device, cycle);
    ++stats.completed;
    stats.total_ms += ms;
    report_.CycleDone(device, CycleFacts{cycle, options_.cycles, ms}, Snapshot(device));
}

std::string BenchHost::Snapshot(SPModbus& device) {
    std::string text(4096, '\0');
    int written = 0;
    if (device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()),
                               written) != 0) {
        text.resize(static_cast<std::size_t>(written));
        device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()),
                               written);
    }
    text.resize(static_cast<std::size_t>(std::max(written, 0)));
    return text;
}

std::int32_t BenchHost::WriteAndConfirm(std::size_t meter, const std::vector<std::uint16_t>& words, int cycle) {
    SPModbus& device = *devices_[meter];
    const bool single = words.size() == 2;
    int written = 0;
    const int code = single ? control_code::kWriteRegister : control_code::kWriteRegisters;
    device.DeviceIoControl(code, words.data(), static_cast<int>(words.size() * 2), nullptr, 0, written);
    // The write's attempts are the line's work too: they count with the meter's.
    RunExchanges(device, cycle, stats_[meter]);
    std::int32_t status = write_outcome::kNone;
    device.DeviceIoControl(control_code::kWriteStatusQuery, nullptr, 0, &status, sizeof status, written);
    report_.WriteStatus(device, status, words);
    return status;
}

void BenchHost::ServeInbox(int cycle) {
    if (options_.inbox == nullptr) return;
    for (WriteInbox::Pending& pending : options_.inbox->TakeAll()) {
        std::int32_t status = write_outcome::kNone;
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            if (devices_[i]->DataId() == pending.request.device) {
                status = WriteAndConfirm(i, pending.request.words, cycle);
                break;
            }
        }
        pending.done(status);
    }
}

// A write asked for between cycles is carried out within a tenth of a second,
// not after the rest of a long interval.
void BenchHost::WaitServingInbox(Clock::time_point until, int cycle, const volatile std::sig_atomic_t& stop) {
    if (options_.inbox == nullptr) {
        clock_.SleepUntil(until, stop);
        return;
    }
    constexpr auto kSlice = std::chrono::milliseconds(100);
    while (!stop && clock_.Now() < until) {
        clock_.SleepUntil(std::min(until, clock_.Now() + kSlice), stop);
        if (!stop) ServeInbox(cycle);
    }
}

int BenchHost::Run(const volatile std::sig_atomic_t& stop) {
    PollSchedule schedule(clock_.Now(), std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.interval_seconds)));
    std::int32_t write_status = write_outcome::kNone;
    int cycle = 0;
    int skipped_slots = 0;
    while (!stop && (options_.cycles == 0 || cycle < options_.cycles)) {
        ++cycle;
        for (std::size_t i = 0; i < devices_.size() && !stop; ++i) Poll(i, cycle);
        if (cycle == 1 && !options_.write.empty() && !stop) write_status = WriteAndConfirm(0, options_.write, cycle);
        if (!stop) ServeInbox(cycle);
        if (stop || (options_.cycles != 0 && cycle >= options_.cycles)) break;
        int skipped = 0;
        const auto next = schedule.Next(clock_.Now(), skipped);
        if (skipped > 0) {
            skipped_slots += skipped;
            report_.SlotsSkipped(cycle, skipped);
        }
        WaitServingInbox(next, cycle, stop);
    }
    Summarize(cycle, skipped_slots);
    for (const MeterStats& s : stats_) {
        if (s.completed == 0) return exit_status::kMeterSilent;
    }
    if (!options_.write.empty() && write_status != write_outcome::kConfirmed) return exit_status::kWriteUnconfirmed;
    return exit_status::kSuccess;
}

void BenchHost::Summarize(int cycles, int skipped_slots) {
    Json::Value summary;
    std::ostringstream text;
    const bool tcp = config_.line.IsTcp();
    text << std::fixed << std::setprecision(1) << "\nsummary: " << cycles << " cycles";
    if (tcp) {
        text << " over Modbus TCP to " << config_.line.tcp;
        summary["tcp"] = config_.line.tcp;
    } else {
        const double limit = cycle_wire_limit_ms(config_.line);
        text << " at " << config_.line.baud << " baud, " << config_.line.data_bits << config_.line.parity
             << config_.line.stop_bits << " (" << config_.line.BitsPerCharacter()
             << " bits per character); wire limit of one cycle " << limit << " ms";
        summary["wire_limit_ms"] = limit;
    }
    if (skipped_slots > 0) text << "; " << skipped_slots << " slots skipped to keep the rate";
    text << "\n";
    summary["cycles"] = cycles;
    summary["skipped_slots"] = skipped_slots;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const MeterStats& s = stats_[i];
        const double mean = s.completed > 0 ? s.total_ms / s.completed : 0.0;
        const Spread latency = spread_of(s.latency_ms);
        const Spread turnaround = spread_of(s.turnaround_ms);
        const Spread wire = spread_of(s.wire_ms);
        Json::Value device;
        device["device"] = devices_[i]->DataId();
        device["completed"] = s.completed;
        device["failed"] = s.failed;
        device["skipped"] = s.skipped;
        device["retries"] = s.retries;
        device["mean_cycle_ms"] = mean;
        device["latency_ms"] = spread_json(latency);
        if (!tcp) {
            device["turnaround_ms"] = spread_json(turnaround);
            device["wire_ms"] = spread_json(wire);
        }
        text << "  device " << devices_[i]->DataId() << " (" << config_.devices[i].name << "): " << s.completed
             << " cycles completed, " << s.failed << " failed";
        if (s.skipped > 0) text << ", " << s.skipped << " skipped while backed off";
        text << ", " << s.retries << " retries";
        for (const auto& [why, count] : s.failures) {
            device["failures"][why] = count;
            text << ", " << count << " " << why;
        }
        if (s.completed > 0) {
            text << "\n    mean cycle " << mean << " ms";
        } else {
            text << "\n    no cycle completed";
        }
        if (!s.latency_ms.empty()) {
            text << "; per request latency min/median/max " << latency.min << "/" << latency.median << "/"
                 << latency.max << " ms";
            if (!tcp) {
                text << "; wire time median " << wire.median
                     << " ms, meter turn-around (latency less wire time) median " << turnaround.median << " ms";
            }
        } else {
            text << "; no request was answered";
        }
        text << "\n";
        summary["devices"].append(device);
    }
    report_.Summary(summary, text.str());
}
