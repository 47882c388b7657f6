// Threshold alarm evaluation at the end of every completed cycle.
#include <array>
#include <string>

#include "alarms/alarm_rules.h"
#include "alarms/value_text.h"
#include "meter/decode.h"
#include "meter/qv5810.h"

namespace {

constexpr std::int32_t kThresholdMode = 2;
constexpr unsigned short kReportCount = 1;

// The host takes keys and texts as strings; build them once, not per cycle.
struct RuleStrings {
    std::array<std::string, kAlarmRules.size()> keys;
    std::array<std::string, kAlarmRules.size()> texts;
    RuleStrings() {
        for (std::size_t i = 0; i < kAlarmRules.size(); ++i) {
            keys[i] = kAlarmRules[i].key;
            texts[i] = kAlarmRules[i].text;
        }
    }
};

const RuleStrings& rule_strings() {
    static const RuleStrings strings;
    return strings;
}

}  // namespace

void QV5810::RunCheckThreshold() {
    if (b_mode != kThresholdMode) return;
    const RuleStrings& strings = rule_strings();
    std::size_t i = 0;
    while (i < kAlarmRules.size()) {
        const Quantity quantity = kAlarmRules[i].quantity;
        const float value = static_cast<float>(decode_quantity(record, quantity));
        bool have_text = false;
        for (; i < kAlarmRules.size() && kAlarmRules[i].quantity == quantity; ++i) {
            const std::string& key = strings.keys[i];
            const int level = threshold_levels[key];
            if (level == 0) continue;
            if (!have_text) {
                format_value_text(value, value_text);
                have_text = true;
            }
            const float threshold = threshold_values[key];
            const bool outcome =
                kAlarmRules[i].direction == Direction::high ? threshold < value : threshold > value;
            CheckThresholdBool(level, key, key, strings.texts[i], value_text, outcome, kReportCount);
        }
    }
}
