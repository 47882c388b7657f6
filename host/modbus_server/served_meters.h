// What the Modbus server serves: each meter's registers as its last
// completed poll cycle read them. The poll loop hands every cycle over as
// it hands it to the other outlets; the server's thread takes the newest of
// a meter whole, so that one answer never mixes two cycles.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/common/clock.h"
#include "host/report/report.h"

class ServedMeters : public Outlet {
public:
    // The lines and the clock must outlive it; the clock is the poll loop's,
    // whose times the cycle reports carry.
    ServedMeters(const std::vector<LineInfo>& lines, Clock& clock);

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;

    struct Lookup {
        enum class State { unknown, stale, fresh } state = State::unknown;
        const DeviceConfig* meter = nullptr;       // none when unknown
        std::shared_ptr<const CycleReport> cycle;  // its last completed cycle, while fresh
    };
    // The meter behind a unit id (its slave address), and whether its last
    // completed cycle is recent enough to be served; any thread.
    Lookup Find(int unit) const;

private:
    struct Served {
        const DeviceConfig* meter;
        std::shared_ptr<const CycleReport> last;  // none before its first completed cycle
    };
    Clock& clock_;
    mutable std::mutex latest_mutex_;  // guards every Served::last
    std::map<int, Served> by_unit_;    // its keys fixed at construction
};
