#include "host/modbus_server/served_meters.h"

ServedMeters::ServedMeters(const std::vector<LineInfo>& lines, Clock& clock) : clock_(clock) {
    for (const LineInfo& line : lines) {
        for (const DeviceConfig* meter : line.meters) by_unit_.emplace(meter->slave, Served{meter, nullptr});
    }
}

void ServedMeters::Cycle(const std::shared_ptr<const CycleReport>& report) {
    // A failed cycle's reads are partial, and a reload read nothing: the
    // last completed cycle stays, and ages.
    if (report->kind != CycleKind::poll || report->read.empty()) return;
    const auto served = by_unit_.find(report->meter->slave);
    if (served == by_unit_.end() || served->second.meter->data_id != report->meter->data_id) return;
    const std::lock_guard<std::mutex> lock(latest_mutex_);
    served->second.last = report;
}

ServedMeters::Lookup ServedMeters::Find(int unit) const {
    const auto served = by_unit_.find(unit);
    if (served == by_unit_.end()) return {};
    std::shared_ptr<const CycleReport> last;
    {
        const std::lock_guard<std::mutex> lock(latest_mutex_);
        last = served->second.last;
    }
    const bool fresh = last && !last->FreshnessAt(clock_.Now()).stale;
    if (!fresh) return {Lookup::State::stale, served->second.meter, nullptr};
    return {Lookup::State::fresh, served->second.meter, std::move(last)};
}
