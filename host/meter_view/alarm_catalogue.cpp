#include "host/meter_view/alarm_catalogue.h"

#include "host/meter_view/meter_readings.h"

// In the order the device judges them: phase voltages, line voltages, currents.
const std::array<AlarmRuleView, 27> kAlarmCatalogue = {{
    {"110200010010", "001#低压配电屏A相电压过高", 1806, true, 1},
    {"110200020010", "001#低压配电屏A相电压过低", 1806, false, 1},
    {"110200030010", "001#低压配电屏A相电压超高", 1806, true, 2},
    {"110200040010", "001#低压配电屏A相电压超低", 1806, false, 2},
    {"110200060010", "001#低压配电屏B相电压过高", 1808, true, 1},
    {"110200070010", "001#低压配电屏B相电压过低", 1808, false, 1},
    {"110200080010", "001#低压配电屏B相电压超高", 1808, true, 2},
    {"110200090010", "001#低压配电屏B相电压超低", 1808, false, 2},
    {"110200110010", "001#低压配电屏C相电压过高", 1810, true, 1},
    {"110200120010", "001#低压配电屏C相电压过低", 1810, false, 1},
    {"110200130010", "001#低压配电屏C相电压超高", 1810, true, 2},
    {"110200140010", "001#低压配电屏C相电压超低", 1810, false, 2},
    {"110200240010", "001#低压配电屏线电压Uab过高", 1800, true, 1},
    {"110200250010", "001#低压配电屏线电压Uab过低", 1800, false, 1},
    {"110200260010", "001#低压配电屏线电压Uab超高", 1800, true, 2},
    {"110200270010", "001#低压配电屏线电压Uab过低", 1800, false, 2},
    {"110200290010", "001#低压配电屏线电压Ubc过高", 1802, true, 1},
    {"110200300010", "001#低压配电屏线电压Ubc过低", 1802, false, 1},
    {"110200310010", "001#低压配电屏线电压Ubc超高", 1802, true, 2},
    {"110200320010", "001#低压配电屏线电压Ubc过低", 1802, false, 2},
    {"110200340010", "001#低压配电屏线电压Uca过高", 1804, true, 1},
    {"110200350010", "001#低压配电屏线电压Uca过低", 1804, false, 1},
    {"110200360010", "001#低压配电屏线电压Uca超高", 1804, true, 2},
    {"110200370010", "001#低压配电屏线电压Uca过低", 1804, false, 2},
    {"110200160010", "001#低压配电屏相电流Ia过大", 1792, true, 1},
    {"110200180010", "001#低压配电屏相电流Ib过大", 1794, true, 1},
    {"110200200010", "001#低压配电屏相电流Ic过大", 1796, true, 1},
}};

std::string AlarmRuleView::Label() const {
    const MeterReading* reading = reading_at(high_register);
    const std::string quantity = reading != nullptr ? reading->label : "register " + std::to_string(high_register);
    return quantity + (severity > 1 ? " very " : " ") + (high ? "high" : "low");
}

const AlarmRuleView* rule_of(const std::string& key) {
    for (const AlarmRuleView& rule : kAlarmCatalogue) {
        if (key == rule.key) return &rule;
    }
    return nullptr;
}
