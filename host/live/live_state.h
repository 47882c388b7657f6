// What the live view and the HTTP API show of each meter: the report of its
// latest completed cycle, its health and its last write, kept as one of the
// poll loop's outlets. The poll loop only swaps the shared, read-only report
// in under the mutex; readers copy out and do their work outside.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/core/report.h"
#include "host/core/settings.h"
#include "host/live/event_hub.h"

struct LastWrite {
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::int32_t status = 0;
    std::string utc;
};

struct LiveMeter {
    const DeviceConfig* config = nullptr;  // name, data id, slave, thresholds
    bool evaluates_alarms = false;
    double wire_limit_ms = 0;  // of a cycle of its line; 0 over Modbus TCP
    // The latest completed poll cycle, or until then the record reloaded at
    // start (which has no time of its own); null before either.
    std::shared_ptr<const CycleReport> shown;
    std::optional<Clock::time_point> completed_at;  // of the latest completed poll cycle
    MeterHealth health;
    bool last_cycle_failed = false;  // the values shown are older than the meter's last cycle
    std::optional<LastWrite> last_write;
    std::uint64_t version = 0;  // raised by every change
};

class LiveState : public Outlet {
public:
    // Every line's meters; the lines must outlive this.
    LiveState(const std::vector<LineConfig>& lines, Clock& clock, EventHub& events);

    // What tells whether a view rendered before is still the meter's: its
    // version, and when its last cycle completed.
    struct Stamp {
        std::uint64_t version = 0;
        std::optional<Clock::time_point> completed_at;
    };

    // Copies, safe from any thread.
    std::vector<LiveMeter> Meters() const;
    std::optional<Stamp> StampOf(std::uint32_t data_id) const;
    // Every meter's, in the configuration's order, by data id.
    std::vector<std::pair<std::uint32_t, Stamp>> Stamps() const;
    std::optional<LiveMeter> Meter(std::uint32_t data_id) const;
    bool Knows(std::uint32_t data_id) const;
    Clock::time_point Now() const { return clock_.Now(); }

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;

private:
    // With live_mutex_ held.
    const LiveMeter* Find(std::uint32_t data_id) const;
    LiveMeter* Find(std::uint32_t data_id);
    void Take(const CycleReport& report, const std::shared_ptr<const CycleReport>& shared);
    void PublishEvents(const CycleReport& report);
    void PublishErrors(std::uint32_t data_id, int cycle, const std::vector<Exchange>& troubled);

    Clock& clock_;
    EventHub& events_;
    mutable std::mutex live_mutex_;  // guards meters_
    std::vector<LiveMeter> meters_;
};
