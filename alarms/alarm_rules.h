// The 27 threshold alarm rules, in evaluation order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meter/quantities.h"

enum class Direction : bool { low, high };  // low: value < threshold; high: value > threshold

struct AlarmRule {
    const char* key;              // 12-digit alarm key
    const char* text;             // UTF-8 alarm text
    std::uint16_t high_register;  // of the quantity the rule judges
    Direction direction;
};

// Rules 16, 20 and 24 repeat the texts of 14, 18 and 22: the line voltages
// have no very-low text of their own, yet each rule keeps its own key.
inline constexpr std::array<AlarmRule, 27> kAlarmRules = {{
    {"110200010010", "001#低压配电屏A相电压过高", 1806, Direction::high},
    {"110200020010", "001#低压配电屏A相电压过低", 1806, Direction::low},
    {"110200030010", "001#低压配电屏A相电压超高", 1806, Direction::high},
    {"110200040010", "001#低压配电屏A相电压超低", 1806, Direction::low},
    {"110200060010", "001#低压配电屏B相电压过高", 1808, Direction::high},
    {"110200070010", "001#低压配电屏B相电压过低", 1808, Direction::low},
    {"110200080010", "001#低压配电屏B相电压超高", 1808, Direction::high},
    {"110200090010", "001#低压配电屏B相电压超低", 1808, Direction::low},
    {"110200110010", "001#低压配电屏C相电压过高", 1810, Direction::high},
    {"110200120010", "001#低压配电屏C相电压过低", 1810, Direction::low},
    {"110200130010", "001#低压配电屏C相电压超高", 1810, Direction::high},
    {"110200140010", "001#低压配电屏C相电压超低", 1810, Direction::low},
    {"110200240010", "001#低压配电屏线电压Uab过高", 1800, Direction::high},
    {"110200250010", "001#低压配电屏线电压Uab过低", 1800, Direction::low},
    {"110200260010", "001#低压配电屏线电压Uab超高", 1800, Direction::high},
    {"110200270010", "001#低压配电屏线电压Uab过低", 1800, Direction::low},
    {"110200290010", "001#低压配电屏线电压Ubc过高", 1802, Direction::high},
    {"110200300010", "001#低压配电屏线电压Ubc过低", 1802, Direction::low},
    {"110200310010", "001#低压配电屏线电压Ubc超高", 1802, Direction::high},
    {"110200320010", "001#低压配电屏线电压Ubc过低", 1802, Direction::low},
    {"110200340010", "001#低压配电屏线电压Uca过高", 1804, Direction::high},
    {"110200350010", "001#低压配电屏线电压Uca过低", 1804, Direction::low},
    {"110200360010", "001#低压配电屏线电压Uca超高", 1804, Direction::high},
    {"110200370010", "001#低压配电屏线电压Uca过低", 1804, Direction::low},
    {"110200160010", "001#低压配电屏相电流Ia过大", 1792, Direction::high},
    {"110200180010", "001#低压配电屏相电流Ib过大", 1794, Direction::high},
    {"110200200010", "001#低压配电屏相电流Ic过大", 1796, Direction::high},
}};

constexpr bool is_alarm_key(const char* key) {
    // 110200, a two-digit rule number, 0010.
    const char frame[] = "110200..0010";
    for (std::size_t i = 0; i < sizeof frame - 1; ++i) {
        if (key[i] < '0' || key[i] > '9') return false;
        if (frame[i] != '.' && key[i] != frame[i]) return false;
    }
    return key[sizeof frame - 1] == '\0';
}

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr bool alarm_rules_are_well_formed() {
    for (std::size_t i = 0; i < kAlarmRules.size(); ++i) {
        const AlarmRule& rule = kAlarmRules[i];
        if (!is_alarm_key(rule.key) || quantity_index(rule.high_register) == kQuantities.size()) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (same_text(kAlarmRules[j].key, rule.key)) return false;
        }
    }
    return true;
}
static_assert(alarm_rules_are_well_formed(), "distinct 12-digit keys, each rule on a quantity of the meter");

// The row of the quantity each rule judges, found when the plug-in is built.
constexpr std::array<std::size_t, kAlarmRules.size()> rule_quantities() {
    std::array<std::size_t, kAlarmRules.size()> rows{};
    for (std::size_t i = 0; i < kAlarmRules.size(); ++i) rows[i] = quantity_index(kAlarmRules[i].high_register);
    return rows;
}
inline constexpr auto kRuleQuantities = rule_quantities();
