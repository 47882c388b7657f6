#include <array>

#include "alarms/alarm_evaluation.h"

namespace {

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

const std::string& alarm_key(std::size_t rule) { return rule_strings().keys.at(rule); }
const std::string& alarm_text(std::size_t rule) { return rule_strings().texts.at(rule); }
