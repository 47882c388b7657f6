#include "host/core/poll_loop.h"

#include <algorithm>
#include <cmath>

#include "framework/control_codes.h"
#include "host/config/settings.h"
#include "host/core/alarm_changes.h"
#include "host/core/controller_requests.h"
#include "host/core/cycle_recorder.h"
#include "host/core/exit_status.h"
#include "host/core/meter_backoff.h"
#include "host/core/meter_statistics.h"
#include "host/core/poll_schedule.h"
#include "host/report/report_json.h"
#include "host/runtime/host_binding.h"

struct PollLoop::Meter {
    Meter(const DeviceConfig& c, std::unique_ptr<SPModbus> d, const LineSettings& line, bool frames_take_wire_time)
        : config(c), device(std::move(d)), statistics(line, frames_take_wire_time) {}

    const DeviceConfig& config;
    // Declared before the device, so that they outlive it.
    HostBinding binding;
    CycleRecorder recorder;
    std::unique_ptr<SPModbus> device;
    MeterStatistics statistics;
    MeterBackoff backoff;
    AlarmChanges alarms;
    // Its last cycle met silence (a timeout on every attempt): until it
    // answers again, each cycle is a probe of one attempt. A meter that
    // answers wrongly or refuses is alive, and keeps its retries.
    bool silent = false;
    int probes = 0;  // of it while silent
    bool answered = false;  // its last cycle completed
};

namespace {

bool has_enabled_alarm(const DeviceConfig& device) {
    for (const auto& [key, threshold] : device.thresholds) {
        if (threshold.level != 0) return true;
    }
    return false;
}

// The longest one request may take on a line that works: each attempt its
// delay, the RTS delays around sending, a connect (a gateway's, bounded by
// the response timeout), the wait for the first byte, a byte timeout and
// the quiet window after it; and 30 s beside for a gateway's name resolved
// again (the resolver's 5 s, twice, for up to three servers) and a machine
// under load.
Clock::duration longest_request(const LineSettings& line) {
    const auto attempt = std::chrono::milliseconds(line.delay_ms + 3 * line.response_timeout_ms + line.byte_timeout_ms) +
                         2 * std::chrono::microseconds(line.rts_delay_us.value_or(0));
    return (1 + line.retries) * attempt + std::chrono::seconds(30);
}

}  // namespace

PollLoop::PollLoop(const std::vector<DeviceConfig>& meters, const LineInfo& line, PollOptions options,
                   std::vector<std::unique_ptr<SPModbus>> devices, ModbusLine& modbus, Outlet& outlets, Clock& clock)
    : line_(line), options_(std::move(options)), modbus_(modbus), outlets_(outlets), clock_(clock),
      longest_request_(longest_request(*line_.settings)) {
    for (std::size_t i = 0; i < meters.size() && i < devices.size(); ++i) {
        const DeviceConfig& config = meters[i];
        auto meter = std::make_unique<Meter>(config, std::move(devices[i]), *line_.settings, options_.frames_take_wire_time);
        meter->binding.sink = &meter->recorder;
        meter->binding.transport = &modbus_;
        SPModbus& device = *meter->device;
        HostBinding::Attach(device, &meter->binding, config.data_id);
        for (const auto& [key, threshold] : config.thresholds) {
            HostBinding::SetThreshold(device, key, threshold.level, threshold.value);
        }
        const std::string name = "device " + std::to_string(config.data_id);
        if (device.InitSetting(config.setting) != 1) outlets_.Problem(name + " refused its setting");
        if (!setting_evaluates_alarms(config.setting) && has_enabled_alarm(config)) {
            outlets_.Problem(name + ": alarm levels are configured, but setting.appSetting.b_mode is not 2, "
                                    "so the device evaluates no alarm rule");
        }
        meters_.push_back(std::move(meter));
    }
}

PollLoop::~PollLoop() = default;

// The next sign of life is due one request's longest after `from`: the
// next request, or the first after a wait that ends at `from`.
void PollLoop::Beat(Clock::time_point from) {
    if (options_.heartbeat != nullptr) options_.heartbeat->Beat(from + longest_request_);
}

std::shared_ptr<CycleReport> PollLoop::NewReport(const Meter& meter, CycleKind kind, int cycle) const {
    auto report = std::make_shared<CycleReport>();
    report->meter = &meter.config;
    report->kind = kind;
    report->cycle = cycle;
    report->planned = options_.cycles;
    return report;
}

void PollLoop::Reload(const StoredRecords& newest) {
    for (const auto& meter : meters_) {
        const std::optional<std::vector<unsigned char>> record = newest(meter->config.data_id);
        if (!record) continue;
        const std::shared_ptr<CycleReport> report = NewReport(*meter, CycleKind::reload, 0);
        report->started_at = clock_.Now();
        meter->recorder.Begin(*report);
        meter->device->LoadFromCache(record->data(), static_cast<int>(record->size()));
        meter->recorder.End();
        report->ended_at = clock_.Now();
        report->utc_ms = utc_now_ms();
        report->utc = utc_text(report->utc_ms);
        Decode(*meter, *report);
        // No snapshot here: asked for now, the device would build it from the
        // reloaded record and keep it for a first cycle within the same second.
        report->health = meter->statistics.Health();
        outlets_.Cycle(report);
    }
}

// The record decoded and the device's alarm reports made outcomes, once,
// for every outlet.
void PollLoop::Decode(Meter& meter, CycleReport& report) {
    report.quantities = decode_quantities(report.record);
    for (const AlarmReport& alarm : meter.recorder.alarms()) {
        report.alarms.push_back(alarm_outcome(alarm, meter.config, report.quantities));
    }
}

namespace {

RequestTrouble trouble_of(const Exchange& exchange) {
    return {exchange.request, exchange.outcome == Exchange::answered, outcome_name(exchange.outcome), exchange.message,
            exchange.attempts};
}

}  // namespace

// Runs the device's queued requests until it asks for nothing more, keeping
// the registers each read brought in `read` when given; false when one failed.
bool PollLoop::RunExchanges(Meter& meter, std::vector<RequestTrouble>& troubled, std::vector<ReadBlock>* read,
                            ModbusLine::Attempts attempts, bool probe) {
    while (modbus_.HasPending()) {
        Beat(clock_.Now());
        std::optional<Waits> waits;
        if (const std::optional<FrameBytes> frames = modbus_.PendingFrames()) waits = WaitsFor(meter, *frames, probe);
        Exchange exchange = modbus_.RunPending(attempts, waits);
        // A request a stop cut short tells nothing of the meter.
        if (exchange.outcome != Exchange::interrupted) meter.statistics.Exchanged(exchange);
        const bool delivered = exchange.delivered;
        if (read != nullptr && !exchange.read.registers.empty()) {
            read->push_back({exchange.read.first, std::move(exchange.read.registers)});
        }
        if (exchange.outcome != Exchange::answered || exchange.attempts > 1) troubled.push_back(trouble_of(exchange));
        if (!delivered) return false;
    }
    return true;
}

// What a meter's answer should take: the wire time of the request and its
// answer, and three times the slowest the meter ever took to turn a request
// round (its neighbours' slowest while it never answered), at least 20 ms;
// never beyond the configured timeout. With it:
// - a silent meter's probe waits that long, and the line as long after it;
// - a meter that answered before waits the configured timeout first, and
//   that long again for a retry after silence;
// - a meter that never answered waits the configured timeout once; silence
//   then ends the cycle, with a short quiet window (an answer that comes
//   later still is another slave's to the next request, which refuses it).
// None over Modbus TCP, where a gateway's own timeout governs a silent
// meter, nor while nothing on the line has answered: the configured waits.
std::optional<Waits> PollLoop::WaitsFor(const Meter& meter, const FrameBytes& frames, bool probe) const {
    if (line_.settings->IsTcp()) return std::nullopt;
    const std::optional<double> own = meter.statistics.SlowestTurnaroundMs();
    std::optional<double> slowest = own;
    if (!slowest) {
        for (const auto& other : meters_) {
            if (const auto theirs = other->statistics.SlowestTurnaroundMs()) slowest = std::max(slowest.value_or(0.0), *theirs);
        }
    }
    if (!slowest) return std::nullopt;
    const int configured = line_.settings->response_timeout_ms;
    const int answer_ms = std::min(
        configured, static_cast<int>(std::ceil(meter.statistics.WireMs(frames) + std::max(20.0, 3 * *slowest))));
    if (probe) return Waits{answer_ms, answer_ms, answer_ms, true};
    if (own) return Waits{configured, configured, answer_ms, true};
    return Waits{configured, answer_ms, answer_ms, false};
}

void PollLoop::Poll(Meter& meter, int cycle, const StopSignal& stop) {
    if (!meter.backoff.DueIn(cycle)) {
        meter.statistics.Skipped();
        return;
    }
    const std::shared_ptr<CycleReport> report = NewReport(meter, CycleKind::poll, cycle);
    report->started_at = clock_.Now();
    meter.recorder.Begin(*report);
    meter.device->RefreshStatus();
    // A silent meter costs its line one attempt, not its whole retry
    // budget, and waits only as long as its answer should take; every 16th
    // probe waits the configured timeout, so that a meter slower than
    // that, or one that never answered here, is found all the same.
    const bool probe = meter.silent && ++meter.probes % 16 != 0;
    const bool answered = RunExchanges(meter, report->troubled, &report->read,
                                       meter.silent ? ModbusLine::Attempts::once : ModbusLine::Attempts::with_retries,
                                       probe);
    meter.recorder.End();
    // Cut short by a stop: no failure of the meter's, and nothing to tell.
    if (!answered && stop.requested()) return;
    meter.silent = !answered && !report->troubled.empty() && report->troubled.back().kind == outcome_name(Exchange::timeout);
    if (!meter.silent) meter.probes = 0;
    report->ended_at = clock_.Now();
    report->utc_ms = utc_now_ms();
    report->utc = utc_text(report->utc_ms);
    report->duration_ms = milliseconds_between(report->started_at, report->ended_at);
    if (!answered || !report->Published()) {
        report->kind = CycleKind::failed;
        meter.answered = false;
        Decode(meter, *report);
        meter.statistics.Failed(answered);
        const bool paused = meter.backoff.Failed(cycle) > 0;
        if (paused) meter.statistics.BackedOff(meter.backoff.next_cycle());
        report->health = meter.statistics.Health();
        outlets_.Cycle(report);
        if (paused) {
            outlets_.BackingOff({&meter.config, cycle, meter.backoff.failures(), meter.backoff.next_cycle()});
        }
        return;
    }
    meter.answered = true;
    if (meter.backoff.Completed()) outlets_.Recovered(meter.config, cycle);
    meter.statistics.Completed(cycle, report->duration_ms);
    Decode(meter, *report);
    report->snapshot_text = snapshot_text(*meter.device);
    report->snapshot = snapshot_object(report->snapshot_text);
    report->alarm_changes = meter.alarms.After(report->alarms);
    report->health = meter.statistics.Health();
    outlets_.Cycle(report);
}

std::int32_t PollLoop::WriteAndConfirm(Meter& meter, const std::vector<std::uint16_t>& words, int cycle,
                                       const std::string& by) {
    WriteReport report;
    report.meter = &meter.config;
    report.cycle = cycle;
    report.words = words;
    report.by = by;
    start_write(*meter.device, words);
    // The write's attempts are the line's work too: they count with the meter's.
    RunExchanges(meter, report.troubled);
    report.status = write_status(*meter.device);
    report.health = meter.statistics.Health();
    report.utc = utc_timestamp();
    outlets_.Wrote(report);
    return report.status;
}

void PollLoop::ServeInbox(int cycle) {
    if (options_.inbox == nullptr) return;
    const auto on_this_line = [this](std::uint32_t data_id) {
        return std::any_of(meters_.begin(), meters_.end(), [data_id](const auto& m) { return m->config.data_id == data_id; });
    };
    for (WriteInbox::Pending& pending : options_.inbox->Take(on_this_line)) {
        for (const auto& meter : meters_) {
            if (meter->config.data_id == pending.request.device) {
                pending.done(WriteAndConfirm(*meter, pending.request.words, cycle, pending.request.by));
                break;
            }
        }
    }
}

// A write asked for between cycles is carried out within a tenth of a second,
// not after the rest of a long interval.
void PollLoop::WaitServingInbox(Clock::time_point until, int cycle, const StopSignal& stop) {
    Beat(until);
    if (options_.inbox == nullptr) {
        clock_.SleepUntil(until, stop);
        return;
    }
    constexpr auto kSlice = std::chrono::milliseconds(100);
    while (!stop.requested() && clock_.Now() < until) {
        clock_.SleepUntil(std::min(until, clock_.Now() + kSlice), stop);
        if (!stop.requested()) ServeInbox(cycle);
        // A write's requests promised the next one sooner than the wait ends.
        Beat(until);
    }
}

int PollLoop::Run(const StopSignal& stop) {
    PollSchedule schedule(clock_.Now(), std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.interval_seconds)));
    std::int32_t write_status = write_outcome::kNone;
    int cycle = 0;
    int skipped_slots = 0;
    Beat(clock_.Now());
    while (!stop.requested() && (options_.cycles == 0 || cycle < options_.cycles)) {
        ++cycle;
        for (std::size_t i = 0; i < meters_.size() && !stop.requested(); ++i) Poll(*meters_[i], cycle, stop);
        if (options_.heartbeat != nullptr) {
            options_.heartbeat->Answering(static_cast<int>(
                std::count_if(meters_.begin(), meters_.end(), [](const auto& meter) { return meter->answered; })));
        }
        if (cycle == 1 && !options_.write.empty() && !stop.requested() && !meters_.empty()) {
            write_status = WriteAndConfirm(*meters_.front(), options_.write, cycle, "the command line");
        }
        if (!stop.requested()) ServeInbox(cycle);
        outlets_.CycleOver(line_, cycle);
        if (stop.requested() || (options_.cycles != 0 && cycle >= options_.cycles)) break;
        int skipped = 0;
        const auto next = schedule.Next(clock_.Now(), skipped);
        if (skipped > 0) {
            skipped_slots += skipped;
            outlets_.SlotsSkipped(line_, cycle, skipped);
        }
        WaitServingInbox(next, cycle, stop);
    }
    Finish(cycle, skipped_slots);
    for (const auto& meter : meters_) {
        if (meter->statistics.Health().completed == 0) return exit_status::kMeterSilent;
    }
    if (!options_.write.empty() && write_status != write_outcome::kConfirmed) return exit_status::kWriteUnconfirmed;
    return exit_status::kSuccess;
}

void PollLoop::Finish(int cycles, int skipped_slots) {
    RunSummary summary;
    summary.line = line_;
    summary.cycles = cycles;
    summary.skipped_slots = skipped_slots;
    for (const auto& meter : meters_) summary.meters.push_back({&meter->config, meter->statistics.Health()});
    outlets_.LineEnded(summary);
}
