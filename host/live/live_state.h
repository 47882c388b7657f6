// What the live view and the HTTP API show of each meter: its latest
// completed cycle, the alarm outcomes of that cycle and the line's health,
// fed by the poll loop as one of its report sinks. The poll loop only copies
// into it under the mutex; readers copy out and do their work outside.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/live/event_hub.h"
#include "host/qmxhost/clock.h"
#include "host/qmxhost/host_config.h"
#include "host/qmxhost/report_sink.h"

struct LastWrite {
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::int32_t status = 0;
    std::string utc;
};

struct LiveMeter {
    // From the configuration.
    std::string name;
    std::uint32_t data_id = 0;
    int slave = 0;
    std::map<std::string, Threshold> thresholds;
    bool evaluates_alarms = false;

    // From the latest completed cycle (or the record reloaded at start).
    std::optional<Clock::time_point> completed_at;
    std::string completed_utc;
    int cycle = 0;
    double cycle_ms = 0;
    std::vector<unsigned char> record;
    std::string snapshot_text;
    std::map<std::string, AlarmReport> alarms;  // by alarm key

    // The line's health over the run.
    int completed = 0;
    int failed = 0;
    int retries = 0;
    double total_ms = 0;
    std::string last_error;
    std::string last_error_utc;
    int backed_off_until = 0;  // cycle; 0: not backed off

    std::optional<LastWrite> last_write;
    std::uint64_t version = 0;  // raised by every change
};

class LiveState : public ReportSink {
public:
    LiveState(const HostConfig& config, Clock& clock, EventHub& events);

    // What tells whether a view rendered before is still the meter's: its
    // version, and when its last cycle completed.
    struct Stamp {
        std::uint64_t version = 0;
        std::optional<Clock::time_point> completed_at;
    };

    // Copies, safe from any thread.
    std::vector<LiveMeter> Meters() const;
    std::optional<Stamp> StampOf(std::uint32_t data_id) const;
    std::optional<LiveMeter> Meter(std::uint32_t data_id) const;
    bool Knows(std::uint32_t data_id) const;
    Clock::time_point Now() const { return clock_.Now(); }
    double wire_limit_ms() const { return wire_limit_ms_; }  // 0 over Modbus TCP

    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override;
    void PollStarted(const QMXVDevice& device) override;
    void StoringAs(RecordKind kind) override;
    void CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) override;
    void CycleFailed(const QMXVDevice& device, int cycle) override;
    void ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) override;
    void WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) override;
    void BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) override;
    void Recovered(const QMXVDevice& device, int cycle) override;

private:
    // What a cycle under way has gathered; taken over when it completes.
    struct Gathering {
        std::vector<unsigned char> record;
        std::map<std::string, AlarmReport> alarms;
    };
    // With live_mutex_ held.
    const LiveMeter* Find(std::uint32_t data_id) const;
    LiveMeter* Find(std::uint32_t data_id);
    void PublishAlarmChanges(std::uint32_t data_id, const std::map<std::string, AlarmReport>& now,
                             const std::map<std::string, AlarmReport>& before);

    Clock& clock_;
    EventHub& events_;
    const double wire_limit_ms_;
    RecordKind kind_ = RecordKind::poll;           // poll thread only
    std::map<std::uint32_t, Gathering> gathering_;  // poll thread only
    mutable std::mutex live_mutex_;                 // guards meters_
    std::vector<LiveMeter> meters_;
};
