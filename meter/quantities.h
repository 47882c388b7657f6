// The meter's quantities in the meter's register order: the register pair
// each occupies (the lower address holds the high half), how it scales, and
// the name under which the snapshot reports it. Where a quantity lies in
// the record follows from the register map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meter/qv5810_record.h"
#include "meter/register_map.h"

struct QuantityInfo {
    std::uint16_t high_register;  // the low half is the next register
    std::int32_t divisor;
    const char* snapshot_name;    // UTF-8
};

// Registers 1798 and 1799 (raw_1798) are carried in the record but are no
// quantity: nothing decodes them.
inline constexpr std::array<QuantityInfo, 38> kQuantities = {{
    {1792, 1000, "第1相电流"},
    {1794, 1000, "第2相电流"},
    {1796, 1000, "第3相电流"},
    {1800, 10, "线电压U12"},
    {1802, 10, "线电压U23"},
    {1804, 10, "线电压U31"},
    {1806, 10, "相电压1"},
    {1808, 10, "相电压2"},
    {1810, 10, "相电压3"},
    {1812, 100, "频率"},
    {1814, 1000, "总有功"},
    {1816, 1000, "总无功"},
    {1818, 1000, "总视在功率"},
    {1820, 1000, "总功率因数"},
    {1822, 1000, "1相有功"},
    {1824, 1000, "2相有功"},
    {1826, 1000, "3相有功"},
    {1828, 1000, "1相无功"},
    {1830, 1000, "2相无功"},
    {1832, 1000, "3相无功"},
    {1834, 1000, "1相视在功率"},
    {1836, 1000, "2相视在功率"},
    {1838, 1000, "3相视在功率"},
    {1840, 1000, "1相功率因数"},
    {1842, 1000, "2相功率因数"},
    {1844, 1000, "3相功率因数"},
    {1846, 1000, "第1相平均电流"},
    {1848, 1000, "第2相平均电流"},
    {1850, 1000, "第3相平均电流"},
    {1852, 1000, "总平均有功+"},
    {1854, 1000, "总平均有功-"},
    {1856, 1000, "总平均无功+"},
    {1858, 1000, "总平均无功-"},
    {1860, 1000, "总平均视在功率"},
    {1880, 1, "有功电能+"},
    {1882, 1, "有功电能-"},
    {1884, 1, "无功电能+"},
    {1886, 1, "无功电能-"},
}};

constexpr std::size_t quantity_record_offset(const QuantityInfo& quantity) {
    return record_offset_of_register(quantity.high_register);
}

// The row of the quantity whose high half is `high_register`, or
// kQuantities.size() when no quantity starts there.
constexpr std::size_t quantity_index(std::uint32_t high_register) {
    std::size_t row = 0;
    while (row < kQuantities.size() && kQuantities[row].high_register != high_register) ++row;
    return row;
}

constexpr bool quantities_tile_the_register_area() {
    // Every four bytes of the register area are one quantity, in order,
    // except the pair that is carried undecoded.
    std::size_t expected = offsetof(QV5810_Data_t, current_1);
    for (const QuantityInfo& quantity : kQuantities) {
        if (expected == offsetof(QV5810_Data_t, raw_1798)) expected += sizeof(RegisterPair);
        if (quantity_record_offset(quantity) != expected) return false;
        if (record_offset_of_register(quantity.high_register + 1u) != expected + kRegisterBytes) return false;
        const std::int32_t d = quantity.divisor;
        if (d != 1 && d != 10 && d != 100 && d != 1000) return false;
        expected += sizeof(RegisterPair);
    }
    return expected == offsetof(QV5810_Data_t, update_time);
}
static_assert(quantities_tile_the_register_area(),
              "quantities follow the register map pair by pair, raw_1798 alone left out");
