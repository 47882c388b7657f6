// What the live view and the HTTP API show of each meter: the report of its
// latest completed cycle, its health and its last write, kept as one of the
// run's outlets on the outlets' thread. That thread only swaps the shared,
// read-only report in under the mutex; readers copy out and do their work
// outside. Each event also goes to the page's event stream.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/http/event_hub.h"
#include "host/report/report.h"

struct LastWrite {
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::int32_t status = 0;
    std::string utc;
};

struct LiveMeter : MeterState {
    bool evaluates_alarms = false;
    std::optional<LastWrite> last_write;
    std::uint64_t version = 0;  // raised by every change
};

class LiveState : public Outlet {
public:
    // Every line's meters; the lines must outlive this.
    LiveState(const std::vector<LineInfo>& lines, Clock& clock, EventHub& events);

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
    void Missed(const Gap& gap) override;
    void SlotsSkipped(const LineInfo& line, int cycle, int skipped) override;

    // Each line's name and how long ago its last cycle ended (any of its
    // meters', answered or not; since the start before the first), in the
    // configuration's order.
    std::vector<std::pair<std::string, Clock::duration>> LineAges() const;

    // Slots each line skipped so far, by its name, in the configuration's order.
    std::vector<std::pair<std::string, std::uint64_t>> SkippedSlots() const;

private:
    // With live_mutex_ held.
    const LiveMeter* Find(std::uint32_t data_id) const;
    LiveMeter* Find(std::uint32_t data_id);
    void Take(const std::shared_ptr<const CycleReport>& report);
    void PublishEvents(const CycleReport& report);
    void PublishErrors(std::uint32_t data_id, int cycle, const std::vector<RequestTrouble>& troubled);

    Clock& clock_;
    EventHub& events_;
    mutable std::mutex live_mutex_;  // guards meters_, skipped_slots_, line_cycles_
    std::vector<LiveMeter> meters_;
    std::vector<Clock::time_point> line_cycles_;  // by line index: its last cycle's end, or the start
    std::vector<std::pair<std::string, std::uint64_t>> skipped_slots_;  // by line index
};
