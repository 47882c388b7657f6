// The 27 threshold alarm rules, in evaluation order.
#pragma once

#include <array>
#include <cstddef>

#include "meter/quantities.h"

enum class Direction : bool { low, high };  // low: value < threshold; high: value > threshold

struct AlarmRule {
    const char* key;   // 12-digit alarm key
    const char* text;  // UTF-8 alarm text
    Quantity quantity;
    Direction direction;
};

inline constexpr std::array<AlarmRule, 27> kAlarmRules = {{
    {"110200010010", "001#低压配电屏A相电压过高", Quantity::phase_voltage_1, Direction::high},
    {"110200020010", "001#低压配电屏A相电压过低", Quantity::phase_voltage_1, Direction::low},
    {"110200030010", "001#低压配电屏A相电压超高", Quantity::phase_voltage_1, Direction::high},
    {"110200040010", "001#低压配电屏A相电压超低", Quantity::phase_voltage_1, Direction::low},
    {"110200060010", "001#低压配电屏B相电压过高", Quantity::phase_voltage_2, Direction::high},
    {"110200070010", "001#低压配电屏B相电压过低", Quantity::phase_voltage_2, Direction::low},
    {"110200080010", "001#低压配电屏B相电压超高", Quantity::phase_voltage_2, Direction::high},
    {"110200090010", "001#低压配电屏B相电压超低", Quantity::phase_voltage_2, Direction::low},
    {"110200110010", "001#低压配电屏C相电压过高", Quantity::phase_voltage_3, Direction::high},
    {"110200120010", "001#低压配电屏C相电压过低", Quantity::phase_voltage_3, Direction::low},
    {"110200130010", "001#低压配电屏C相电压超高", Quantity::phase_voltage_3, Direction::high},
    {"110200140010", "001#低压配电屏C相电压超低", Quantity::phase_voltage_3, Direction::low},
    {"110200240010", "001#低压配电屏线电压Uab过高", Quantity::line_voltage_u12, Direction::high},
    {"110200250010", "001#低压配电屏线电压Uab过低", Quantity::line_voltage_u12, Direction::low},
    {"110200260010", "001#低压配电屏线电压Uab超高", Quantity::line_voltage_u12, Direction::high},
    {"110200270010", "001#低压配电屏线电压Uab过低", Quantity::line_voltage_u12, Direction::low},
    {"110200290010", "001#低压配电屏线电压Ubc过高", Quantity::line_voltage_u23, Direction::high},
    {"110200300010", "001#低压配电屏线电压Ubc过低", Quantity::line_voltage_u23, Direction::low},
    {"110200310010", "001#低压配电屏线电压Ubc超高", Quantity::line_voltage_u23, Direction::high},
    {"110200320010", "001#低压配电屏线电压Ubc过低", Quantity::line_voltage_u23, Direction::low},
    {"110200340010", "001#低压配电屏线电压Uca过高", Quantity::line_voltage_u31, Direction::high},
    {"110200350010", "001#低压配电屏线电压Uca过低", Quantity::line_voltage_u31, Direction::low},
    {"110200360010", "001#低压配电屏线电压Uca超高", Quantity::line_voltage_u31, Direction::high},
    {"110200370010", "001#低压配电屏线电压Uca过低", Quantity::line_voltage_u31, Direction::low},
    {"110200160010", "001#低压配电屏相电流Ia过大", Quantity::current_1, Direction::high},
    {"110200180010", "001#低压配电屏相电流Ib过大", Quantity::current_2, Direction::high},
    {"110200200010", "001#低压配电屏相电流Ic过大", Quantity::current_3, Direction::high},
}};

constexpr bool alarm_rules_are_grouped_by_quantity() {
    // Each quantity's rules stand together, so it is decoded once per cycle.
    for (std::size_t i = 1; i < kAlarmRules.size(); ++i) {
        for (std::size_t j = 0; j + 1 < i; ++j) {
            if (kAlarmRules[j].quantity == kAlarmRules[i].quantity &&
                kAlarmRules[i - 1].quantity != kAlarmRules[i].quantity) {
                return false;
            }
        }
        if (!quantity_info(kAlarmRules[i].quantity).threshold_checked) return false;
    }
    return quantity_info(kAlarmRules[0].quantity).threshold_checked;
}
static_assert(alarm_rules_are_grouped_by_quantity(), "rules of one quantity are adjacent");
