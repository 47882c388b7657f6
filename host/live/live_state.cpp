#include "host/live/live_state.h"

#include "framework/control_codes.h"
#include "framework/qmx_vdevice.h"
#include "host/qmxhost/write_request.h"

LiveState::LiveState(const HostConfig& config, Clock& clock, EventHub& events)
    : clock_(clock), events_(events),
      // Over TCP the gateway's own line sets the pace, and this host knows nothing of it.
      wire_limit_ms_(config.line.IsTcp() ? 0.0 : cycle_wire_limit_ms(config.line)) {
    for (const DeviceConfig& device : config.devices) {
        LiveMeter meter;
        meter.name = device.name;
        meter.data_id = device.data_id;
        meter.slave = device.slave;
        meter.thresholds = device.thresholds;
        meter.evaluates_alarms = setting_evaluates_alarms(device.setting);
        meters_.push_back(std::move(meter));
    }
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

bool LiveState::Knows(std::uint32_t data_id) const {
    const std::lock_guard<std::mutex> lock(live_mutex_);
    return Find(data_id) != nullptr;
}

const LiveMeter* LiveState::Find(std::uint32_t data_id) const {
    for (const LiveMeter& meter : meters_) {
        if (meter.data_id == data_id) return &meter;
    }
    return nullptr;
}

LiveMeter* LiveState::Find(std::uint32_t data_id) {
    return const_cast<LiveMeter*>(static_cast<const LiveState&>(*this).Find(data_id));
}

void LiveState::StoringAs(RecordKind kind) { kind_ = kind; }

void LiveState::PollStarted(const QMXVDevice& device) { gathering_[device.DataId()] = Gathering{}; }

void LiveState::Published(const QMXVDevice& device, std::uint32_t, const unsigned char* data, int length, bool) {
    std::vector<unsigned char> record(data, data + (length > 0 ? length : 0));
    if (kind_ == RecordKind::poll) {
        gathering_[device.DataId()].record = std::move(record);
        return;
    }
    // A record handed back from the history shows until the first cycle, with no time of its own.
    const std::lock_guard<std::mutex> lock(live_mutex_);
    if (LiveMeter* meter = Find(device.DataId())) {
        meter->record = std::move(record);
        ++meter->version;
    }
}

void LiveState::AlarmReported(const QMXVDevice& device, const AlarmCall& call) {
    gathering_[device.DataId()].alarms[call.alarm_key] = call.Keep();
}

void LiveState::CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) {
    Gathering& gathered = gathering_[device.DataId()];
    std::map<std::string, AlarmReport> before, now;
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        LiveMeter* meter = Find(device.DataId());
        if (meter == nullptr) return;
        meter->completed_at = clock_.Now();
        meter->completed_utc = utc_timestamp();
        meter->cycle = facts.cycle;
        meter->cycle_ms = facts.milliseconds;
        meter->record = std::move(gathered.record);
        meter->snapshot_text = snapshot_text;
        before = std::move(meter->alarms);
        meter->alarms = std::move(gathered.alarms);
        ++meter->completed;
        meter->total_ms += facts.milliseconds;
        ++meter->version;
        now = meter->alarms;
    }
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = facts.cycle;
    event["duration_ms"] = facts.milliseconds;
    events_.Publish("cycle", event);
    PublishAlarmChanges(device.DataId(), now, before);
}

void LiveState::PublishAlarmChanges(std::uint32_t data_id, const std::map<std::string, AlarmReport>& now,
                                    const std::map<std::string, AlarmReport>& before) {
    const auto publish = [&](const std::string& key, const AlarmReport& report, bool up) {
        Json::Value event;
        event["device"] = data_id;
        event["key"] = key;
        event["text"] = report.alarm_text;
        event["level"] = report.level;
        if (up == report.state) event["value"] = report.value_text;
        event["up"] = up;
        events_.Publish("alarm", event);
    };
    for (const auto& [key, report] : now) {
        const auto was = before.find(key);
        if (was != before.end() && was->second.state == report.state) continue;
        // A rule first seen in its normal state is no change worth a line.
        if (was == before.end() && !report.state) continue;
        publish(key, report, report.state);
    }
    for (const auto& [key, report] : before) {
        // A rule no longer evaluated (its level set to 0) is no longer up.
        if (report.state && now.count(key) == 0) publish(key, report, false);
    }
}

void LiveState::CycleFailed(const QMXVDevice& device, int cycle) {
    gathering_.erase(device.DataId());
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        if (LiveMeter* meter = Find(device.DataId())) {
            ++meter->failed;
            ++meter->version;
        }
    }
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    events_.Publish("cycle_failed", event);
}

void LiveState::ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) {
    const bool failed = exchange.outcome != Exchange::answered;
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        LiveMeter* meter = Find(device.DataId());
        if (meter == nullptr) return;
        meter->retries += exchange.attempts > 1 ? exchange.attempts - 1 : 0;
        if (failed) {
            meter->last_error = exchange.request + ": " + outcome_name(exchange.outcome) + ": " + exchange.message;
            meter->last_error_utc = utc_timestamp();
        }
        ++meter->version;
    }
    if (!failed) return;
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    event["request"] = exchange.request;
    event["kind"] = outcome_name(exchange.outcome);
    event["message"] = exchange.message;
    event["attempts"] = exchange.attempts;
    events_.Publish("error", event);
}

void LiveState::WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) {
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        if (LiveMeter* meter = Find(device.DataId())) {
            meter->last_write = LastWrite{words, status, utc_timestamp()};
            ++meter->version;
        }
    }
    Json::Value event;
    event["device"] = device.DataId();
    put_written_registers(event, words);
    event["status"] = status;
    event["outcome"] = write_outcome_text(status);
    events_.Publish("write", event);
}

void LiveState::BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) {
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        if (LiveMeter* meter = Find(device.DataId())) {
            meter->backed_off_until = next_cycle;
            ++meter->version;
        }
    }
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    event["failed_in_a_row"] = failures;
    event["next_cycle"] = next_cycle;
    events_.Publish("backoff", event);
}

void LiveState::Recovered(const QMXVDevice& device, int cycle) {
    {
        const std::lock_guard<std::mutex> lock(live_mutex_);
        if (LiveMeter* meter = Find(device.DataId())) {
            meter->backed_off_until = 0;
            ++meter->version;
        }
    }
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    events_.Publish("recovered", event);
}
