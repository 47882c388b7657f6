// Judging the alarm rules over one completed record.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "alarms/alarm_rules.h"
#include "alarms/value_text.h"
#include "meter/decode.h"
#include "meter/qv5810_record.h"

// One enabled rule's outcome, as the controller is told it.
struct AlarmOutcome {
    int level;
    const std::string& key;
    const std::string& text;
    const std::string& value_text;
    bool outcome;
};

// The rule's key and text as the controller takes them, made once for the
// process rather than once per report.
const std::string& alarm_key(std::size_t rule);
const std::string& alarm_text(std::size_t rule);

// The quantity rule `rule` judges, as a whole number in single precision.
inline float alarm_value(const QV5810_Data_t& record, std::size_t rule) {
    return static_cast<float>(decode_quantity(record, kQuantities[kRuleQuantities[rule]]));
}

// Rule by rule in table order: look the level up (a missing key is added
// with 0), skip a rule whose level is 0, otherwise look the threshold up (a
// missing key is added with 0.0) and report. The maps are the controller's
// and `report` calls into it, so each rule's lookups come right before its
// own report: a report that throws leaves the later rules untouched, and one
// that changes the maps is seen by the rules after it.
template <typename Report>
void evaluate_alarm_rules(const QV5810_Data_t& record, std::map<std::string, int>& levels,
                          std::map<std::string, float>& thresholds, Report&& report) {
    for (std::size_t i = 0; i < kAlarmRules.size(); ++i) {
        const std::string& key = alarm_key(i);
        const int level = levels[key];
        if (level == 0) continue;
        const float value = alarm_value(record, i);
        const std::string value_text = format_value_text(value);
        const float threshold = thresholds[key];
        // Strict in both directions; a NaN threshold is never exceeded.
        const bool outcome = kAlarmRules[i].direction == Direction::high ? threshold < value : threshold > value;
        report(AlarmOutcome{level, key, alarm_text(i), value_text, outcome});
    }
}
