#include "host/core/alarm_changes.h"

#include <charconv>

AlarmOutcome alarm_outcome(const AlarmReport& report, const DeviceConfig& meter, const std::vector<Quantity>& quantities) {
    AlarmOutcome outcome;
    outcome.key = report.alarm_key;
    outcome.text = report.alarm_text;
    outcome.signal_key = report.signal_key;
    outcome.level = report.level;
    outcome.up = report.state;
    outcome.count = report.count;
    outcome.value_text = report.value_text;
    long long compared = 0;
    const char* end = report.value_text.data() + report.value_text.size();
    if (const auto [at, error] = std::from_chars(report.value_text.data(), end, compared); error == std::errc() && at == end) {
        outcome.compared = compared;
    }
    outcome.rule = rule_of(report.alarm_key);
    if (outcome.rule != nullptr) {
        outcome.reading = reading_at(outcome.rule->high_register);
        for (const Quantity& quantity : quantities) {
            if (quantity.reading == outcome.reading) outcome.value = quantity.value;
        }
    }
    if (const auto threshold = meter.thresholds.find(report.alarm_key); threshold != meter.thresholds.end()) {
        outcome.threshold = threshold->second.value;
    }
    return outcome;
}

std::vector<AlarmChange> AlarmChanges::After(const std::vector<AlarmOutcome>& outcomes) {
    std::vector<AlarmChange> changes;
    std::map<std::string, AlarmOutcome> now;
    for (const AlarmOutcome& outcome : outcomes) {
        now.insert_or_assign(outcome.key, outcome);
        const auto was = last_.find(outcome.key);
        const bool was_up = was != last_.end() && was->second.up;
        if (was_up != outcome.up) changes.push_back({outcome, outcome.up});
    }
    for (const auto& [key, outcome] : last_) {
        if (outcome.up && now.count(key) == 0) changes.push_back({outcome, false});
    }
    last_ = std::move(now);
    return changes;
}
