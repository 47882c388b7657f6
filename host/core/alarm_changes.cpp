#include "host/core/alarm_changes.h"

std::vector<AlarmChange> AlarmChanges::After(const std::vector<AlarmReport>& reports) {
    std::vector<AlarmChange> changes;
    std::map<std::string, AlarmReport> now;
    for (const AlarmReport& report : reports) {
        now.insert_or_assign(report.alarm_key, report);
        const auto was = last_.find(report.alarm_key);
        const bool was_up = was != last_.end() && was->second.state;
        if (was_up != report.state) changes.push_back({report, report.state});
    }
    for (const auto& [key, report] : last_) {
        if (report.state && now.count(key) == 0) changes.push_back({report, false});
    }
    last_ = std::move(now);
    return changes;
}
