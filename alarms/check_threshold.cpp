// Threshold alarm evaluation at the end of every completed cycle.
#include <algorithm>
#include <array>
#include <map>
#include <string>

#include "alarms/alarm_rules.h"
#include "alarms/value_text.h"
#include "meter/decode.h"
#include "meter/qv5810.h"

namespace {

constexpr std::int32_t kThresholdMode = 2;
constexpr unsigned short kReportCount = 1;
constexpr std::size_t kRules = kAlarmRules.size();

// The host takes keys and texts as strings; build them once, not per cycle.
struct RuleStrings {
    std::array<std::string, kRules> keys;
    std::array<std::string, kRules> texts;
    std::array<std::size_t, kRules> in_key_order;  // rule indices sorted by key

    RuleStrings() {
        for (std::size_t i = 0; i < kRules; ++i) {
            keys[i] = kAlarmRules[i].key;
            texts[i] = kAlarmRules[i].text;
            in_key_order[i] = i;
        }
        std::sort(in_key_order.begin(), in_key_order.end(),
                  [this](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    }
};

const RuleStrings& rule_strings() {
    static const RuleStrings strings;
    return strings;
}

// Looks up the keys of the wanted rules in one of the host's maps, inserting
// a default where a key is missing, and copies what it finds into `found`.
// Walking the map once in key order costs a fraction of a search per key.
template <typename Value>
void look_up_wanted(std::map<std::string, Value>& map, const RuleStrings& strings,
                    const std::array<bool, kRules>& wanted, std::array<Value, kRules>& found) {
    auto at = map.begin();
    for (std::size_t rule : strings.in_key_order) {
        if (!wanted[rule]) continue;
        const std::string& key = strings.keys[rule];
        int order = -1;
        while (at != map.end() && (order = at->first.compare(key)) < 0) ++at;
        if (at == map.end() || order > 0) at = map.emplace_hint(at, key, Value{});
        found[rule] = at->second;
    }
}

}  // namespace

// Every rule's level, and the threshold of every enabled rule, is read from
// the host's maps before the first report; the reports then follow in rule
// order.
void QV5810::RunCheckThreshold() {
    if (b_mode != kThresholdMode) return;
    const RuleStrings& strings = rule_strings();

    std::array<bool, kRules> every_rule;
    every_rule.fill(true);
    std::array<int, kRules> levels{};
    look_up_wanted(threshold_levels, strings, every_rule, levels);

    std::array<bool, kRules> enabled{};
    for (std::size_t i = 0; i < kRules; ++i) enabled[i] = levels[i] != 0;
    std::array<float, kRules> thresholds{};
    look_up_wanted(threshold_values, strings, enabled, thresholds);

    std::size_t i = 0;
    while (i < kRules) {
        const Quantity quantity = kAlarmRules[i].quantity;
        const float value = static_cast<float>(decode_quantity(record, quantity));
        bool have_text = false;
        for (; i < kRules && kAlarmRules[i].quantity == quantity; ++i) {
            if (!enabled[i]) continue;
            if (!have_text) {
                format_value_text(value, value_text);
                have_text = true;
            }
            const bool outcome =
                kAlarmRules[i].direction == Direction::high ? thresholds[i] < value : thresholds[i] > value;
            CheckThresholdBool(levels[i], strings.keys[i], strings.keys[i], strings.texts[i], value_text, outcome,
                               kReportCount);
        }
    }
}
