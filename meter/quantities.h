// The meter's quantities: where each lies, how it scales, and the names
// under which the snapshot reports it. The snapshot and the alarm rules both
// read quantities through this one table and decode_quantity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meter/qv5810_record.h"
#include "meter/register_map.h"

enum class Quantity : std::uint8_t {
    current_1, current_2, current_3,
    line_voltage_u12, line_voltage_u23, line_voltage_u31,
    phase_voltage_1, phase_voltage_2, phase_voltage_3,
    frequency,
    total_active_power, total_reactive_power, total_apparent_power, total_power_factor,
    active_power_1, active_power_2, active_power_3,
    reactive_power_1, reactive_power_2, reactive_power_3,
    apparent_power_1, apparent_power_2, apparent_power_3,
    power_factor_1, power_factor_2, power_factor_3,
    avg_current_1, avg_current_2, avg_current_3,
    total_avg_active_power_pos, total_avg_active_power_neg,
    total_avg_reactive_power_pos, total_avg_reactive_power_neg,
    total_avg_apparent_power,
    active_energy_pos, active_energy_neg, reactive_energy_pos, reactive_energy_neg,
};

struct QuantityInfo {
    Quantity id;
    std::size_t record_offset;
    std::uint16_t high_register;  // the low half is the next register
    std::int32_t divisor;
    const char* snapshot_name;    // UTF-8
    bool threshold_checked;
};

#define QV5810_AT(field) Quantity::field, offsetof(QV5810_Data_t, field)

// Registers 1798 and 1799 (raw_1798) are carried in the record but are no
// quantity: nothing decodes them.
inline constexpr std::array<QuantityInfo, 38> kQuantities = {{
    {QV5810_AT(current_1), 1792, 1000, "第1相电流", true},
    {QV5810_AT(current_2), 1794, 1000, "第2相电流", true},
    {QV5810_AT(current_3), 1796, 1000, "第3相电流", true},
    {QV5810_AT(line_voltage_u12), 1800, 10, "线电压U12", true},
    {QV5810_AT(line_voltage_u23), 1802, 10, "线电压U23", true},
    {QV5810_AT(line_voltage_u31), 1804, 10, "线电压U31", true},
    {QV5810_AT(phase_voltage_1), 1806, 10, "相电压1", true},
    {QV5810_AT(phase_voltage_2), 1808, 10, "相电压2", true},
    {QV5810_AT(phase_voltage_3), 1810, 10, "相电压3", true},
    {QV5810_AT(frequency), 1812, 100, "频率", false},
    {QV5810_AT(total_active_power), 1814, 1000, "总有功", false},
    {QV5810_AT(total_reactive_power), 1816, 1000, "总无功", false},
    {QV5810_AT(total_apparent_power), 1818, 1000, "总视在功率", false},
    {QV5810_AT(total_power_factor), 1820, 1000, "总功率因数", false},
    {QV5810_AT(active_power_1), 1822, 1000, "1相有功", false},
    {QV5810_AT(active_power_2), 1824, 1000, "2相有功", false},
    {QV5810_AT(active_power_3), 1826, 1000, "3相有功", false},
    {QV5810_AT(reactive_power_1), 1828, 1000, "1相无功", false},
    {QV5810_AT(reactive_power_2), 1830, 1000, "2相无功", false},
    {QV5810_AT(reactive_power_3), 1832, 1000, "3相无功", false},
    {QV5810_AT(apparent_power_1), 1834, 1000, "1相视在功率", false},
    {QV5810_AT(apparent_power_2), 1836, 1000, "2相视在功率", false},
    {QV5810_AT(apparent_power_3), 1838, 1000, "3相视在功率", false},
    {QV5810_AT(power_factor_1), 1840, 1000, "1相功率因数", false},
    {QV5810_AT(power_factor_2), 1842, 1000, "2相功率因数", false},
    {QV5810_AT(power_factor_3), 1844, 1000, "3相功率因数", false},
    {QV5810_AT(avg_current_1), 1846, 1000, "第1相平均电流", false},
    {QV5810_AT(avg_current_2), 1848, 1000, "第2相平均电流", false},
    {QV5810_AT(avg_current_3), 1850, 1000, "第3相平均电流", false},
    {QV5810_AT(total_avg_active_power_pos), 1852, 1000, "总平均有功+", false},
    {QV5810_AT(total_avg_active_power_neg), 1854, 1000, "总平均有功-", false},
    {QV5810_AT(total_avg_reactive_power_pos), 1856, 1000, "总平均无功+", false},
    {QV5810_AT(total_avg_reactive_power_neg), 1858, 1000, "总平均无功-", false},
    {QV5810_AT(total_avg_apparent_power), 1860, 1000, "总平均视在功率", false},
    {QV5810_AT(active_energy_pos), 1880, 1, "有功电能+", false},
    {QV5810_AT(active_energy_neg), 1882, 1, "有功电能-", false},
    {QV5810_AT(reactive_energy_pos), 1884, 1, "无功电能+", false},
    {QV5810_AT(reactive_energy_neg), 1886, 1, "无功电能-", false},
}};

#undef QV5810_AT

constexpr const QuantityInfo& quantity_info(Quantity q) {
    return kQuantities[static_cast<std::size_t>(q)];
}

constexpr bool quantity_table_is_consistent() {
    for (std::size_t i = 0; i < kQuantities.size(); ++i) {
        const QuantityInfo& q = kQuantities[i];
        if (static_cast<std::size_t>(q.id) != i) return false;
        if (record_offset_of_register(q.high_register) != q.record_offset) return false;
        if (record_offset_of_register(q.high_register + 1u) != q.record_offset + 2u) return false;
        if (q.divisor != 1 && q.divisor != 10 && q.divisor != 100 && q.divisor != 1000) return false;
    }
    return true;
}
static_assert(quantity_table_is_consistent(),
              "each row's register pair lies at its record offset; rows in Quantity order");
