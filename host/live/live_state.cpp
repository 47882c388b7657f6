#include "host/live/live_state.h"

#include <algorithm>

#include "host/common/clock.h"
#include "host/report/report_json.h"

LiveState::LiveState(const std::vector<LineInfo>& lines, Clock& clock, EventHub& events)
    : clock_(clock), events_(events) {
    for (const LineInfo& line : lines) {
        skipped_slots_.emplace_back(line.name, 0);
        line_cycles_.push_back(clock_.Now());
        for (const DeviceConfig* device : line.meters) {
            LiveMeter meter;
            meter.config = device;
            meter.line = &line;
            meter.evaluates_alarms = setting_evaluates_alarms(device->setting);
            meters_.push_back(std::move(meter));
        }
    }
}

std::vector<std::pair<std::string, Clock::duration>> LiveState::LineAges() const {
    const Clock::time_point now = clock_.Now();
    const std::lock_guard<std::mutex> lock(live_mutex_);
    std::vector<std::pair<std::string, Clock::duration>> ages;
    for (std::size_t i = 0; i < line_cycles_.size(); ++i) ages.emplace_back(skipped_slots_[i].first, now - line_cycles_[i]);
    return ages;
}

std::vector<LiveMeter> LiveState::Meters() const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    return meters_;
}

std::optional<LiveMeter> LiveState::Meter(std::uint32_t data_id) const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    if (const LiveMeter* meter = Find(data_id)) return *meter;
    return std::nullopt;
}

std::optional<LiveState::Stamp> LiveState::StampOf(std::uint32_t data_id) const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    if (const LiveMeter* meter = Find(data_id)) return Stamp{meter->version, meter->completed_at};
    return std::nullopt;
}

std::vector<std::pair<std::uint32_t, LiveState::Stamp>> LiveState::Stamps() const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    std::vector<std::pair<std::uint32_t, Stamp>> stamps;
    stamps.reserve(meters_.size());
    for (const LiveMeter& meter : meters_) stamps.emplace_back(meter.config->data_id, Stamp{meter.version, meter.completed_at});
    return stamps;
}

bool LiveState::Knows(std::uint32_t data_id) const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    return Find(data_id) != nullptr;
}

const LiveMeter* LiveState::Find(std::uint32_t data_id) const {
    for (const LiveMeter& meter : meters_) {
        if (meter.config->data_id == data_id) return &meter;
    }
    return nullptr;
}

LiveMeter* LiveState::Find(std::uint32_t data_id) {
    return const_cast<LiveMeter*>(static_cast<const LiveState&>(*this).Find(data_id));
}

void LiveState::Cycle(const std::shared_ptr<const CycleReport>& report) {
    Take(report);
    PublishEvents(*report);
}

void LiveState::Take(const std::shared_ptr<const CycleReport>& report) {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    LiveMeter* meter = Find(report->meter->data_id);
    if (meter == nullptr) return;
    if (report->kind == CycleKind::poll && meter->line != nullptr && meter->line->index < line_cycles_.size()) {
        line_cycles_[meter->line->index] = std::max(line_cycles_[meter->line->index], clock_.Now());
    }
    meter->MeterState::Take(report);
    ++meter->version;
}

void LiveState::PublishErrors(std::uint32_t data_id, int cycle, const std::vector<RequestTrouble>& troubled) {
    for (const RequestTrouble& trouble : troubled) {
        if (!trouble.answered) events_.Publish("meter_error", trouble_json(data_id, cycle, trouble));
    }
}

void LiveState::PublishEvents(const CycleReport& report) {
    const std::uint32_t data_id = report.meter->data_id;
    PublishErrors(data_id, report.cycle, report.troubled);
    if (report.kind == CycleKind::reload) return;
    Json::Value cycle;
    cycle["device"] = data_id;
    cycle["cycle"] = report.cycle;
    cycle["utc"] = utc_text(report.utc_ms);
    if (report.kind == CycleKind::failed) {
        events_.Publish("cycle_failed", cycle);
        return;
    }
    cycle["duration_ms"] = report.duration_ms;
    events_.Publish("cycle", cycle);
    for (const AlarmChange& change : report.alarm_changes) {
        Json::Value event = alarm_json(change.outcome, change.up);
        event["device"] = data_id;
        event["cycle"] = report.cycle;
        event["utc"] = utc_text(report.utc_ms);
        events_.Publish("alarm", event);
    }
}

void LiveState::Wrote(const WriteReport& report) {
    PublishErrors(report.meter->data_id, report.cycle, report.troubled);
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        if (LiveMeter* meter = Find(report.meter->data_id)) {
            meter->last_write = LastWrite{report.words, report.status, report.utc};
            meter->health = report.health;
            ++meter->version;
        }
    }
    events_.Publish("write", write_json(report));
}

void LiveState::BackingOff(const BackoffReport& report) { events_.Publish("backoff", backoff_json(report)); }

void LiveState::Recovered(const DeviceConfig& meter, int cycle) { events_.Publish("recovered", recovered_json(meter, cycle)); }

// The page's own stream says what it lost; this tells it the state did too.
void LiveState::Missed(const Gap& gap) {
    Json::Value event;
    event["events"] = static_cast<Json::UInt64>(gap.events);
    events_.Publish("missed", event);
}

void LiveState::SlotsSkipped(const LineInfo& line, int, int skipped) {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    if (line.index < skipped_slots_.size() && skipped > 0) skipped_slots_[line.index].second += static_cast<std::uint64_t>(skipped);
}

std::vector<std::pair<std::string, std::uint64_t>> LiveState::SkippedSlots() const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    return skipped_slots_;
}
