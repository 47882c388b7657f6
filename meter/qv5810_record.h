// The QV5810 meter record: one complete reading, published under data id
// 5156, stored in the device history and reloaded from the controller's
// cache. It leaves the plug-in, so its layout is fixed to the byte.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record holds native integers that peers read as little-endian");

#pragma pack(push, 1)

struct QV5810_Time_t {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};

// Each quantity is a pair of meter registers, the lower address (high half)
// first, each register a native 16-bit word as the Modbus master delivers it.
using RegisterPair = std::uint16_t[2];

struct QV5810_Data_t {
    std::uint32_t dev_id;
    // Block 1: registers 1792 to 1813.
    RegisterPair current_1;
    RegisterPair current_2;
    RegisterPair current_3;
    RegisterPair raw_1798;  // carried opaquely, never decoded
    RegisterPair line_voltage_u12;
    RegisterPair line_voltage_u23;
    RegisterPair line_voltage_u31;
    RegisterPair phase_voltage_1;
    RegisterPair phase_voltage_2;
    RegisterPair phase_voltage_3;
    RegisterPair frequency;
    // Block 2: registers 1814 to 1845.
    RegisterPair total_active_power;
    RegisterPair total_reactive_power;
    RegisterPair total_apparent_power;
    RegisterPair total_power_factor;
    RegisterPair active_power_1;
    RegisterPair active_power_2;
    RegisterPair active_power_3;
    RegisterPair reactive_power_1;
    RegisterPair reactive_power_2;
    RegisterPair reactive_power_3;
    RegisterPair apparent_power_1;
    RegisterPair apparent_power_2;
    RegisterPair apparent_power_3;
    RegisterPair power_factor_1;
    RegisterPair power_factor_2;
    RegisterPair power_factor_3;
    // Block 3: registers 1846 to 1861.
    RegisterPair avg_current_1;
    RegisterPair avg_current_2;
    RegisterPair avg_current_3;
    RegisterPair total_avg_active_power_pos;
    RegisterPair total_avg_active_power_neg;
    RegisterPair total_avg_reactive_power_pos;
    RegisterPair total_avg_reactive_power_neg;
    RegisterPair total_avg_apparent_power;
    // Block 4: registers 1880 to 1887.
    RegisterPair active_energy_pos;
    RegisterPair active_energy_neg;
    RegisterPair reactive_energy_pos;
    RegisterPair reactive_energy_neg;
    QV5810_Time_t update_time;
};

#pragma pack(pop)

constexpr std::size_t kQV5810RecordSize = 167;

static_assert(sizeof(QV5810_Time_t) == 7, "packed time stamp");
static_assert(sizeof(QV5810_Data_t) == kQV5810RecordSize, "packed meter record");
static_assert(alignof(QV5810_Data_t) == 1, "no alignment gaps");

#define QV5810_FIELD_AT(field, offset) \
    static_assert(offsetof(QV5810_Data_t, field) == (offset), #field " offset")
QV5810_FIELD_AT(dev_id, 0);
QV5810_FIELD_AT(current_1, 4);
QV5810_FIELD_AT(current_2, 8);
QV5810_FIELD_AT(current_3, 12);
QV5810_FIELD_AT(raw_1798, 16);
QV5810_FIELD_AT(line_voltage_u12, 20);
QV5810_FIELD_AT(line_voltage_u23, 24);
QV5810_FIELD_AT(line_voltage_u31, 28);
QV5810_FIELD_AT(phase_voltage_1, 32);
QV5810_FIELD_AT(phase_voltage_2, 36);
QV5810_FIELD_AT(phase_voltage_3, 40);
QV5810_FIELD_AT(frequency, 44);
QV5810_FIELD_AT(total_active_power, 48);
QV5810_FIELD_AT(total_reactive_power, 52);
QV5810_FIELD_AT(total_apparent_power, 56);
QV5810_FIELD_AT(total_power_factor, 60);
QV5810_FIELD_AT(active_power_1, 64);
QV5810_FIELD_AT(active_power_2, 68);
QV5810_FIELD_AT(active_power_3, 72);
QV5810_FIELD_AT(reactive_power_1, 76);
QV5810_FIELD_AT(reactive_power_2, 80);
QV5810_FIELD_AT(reactive_power_3, 84);
QV5810_FIELD_AT(apparent_power_1, 88);
QV5810_FIELD_AT(apparent_power_2, 92);
QV5810_FIELD_AT(apparent_power_3, 96);
QV5810_FIELD_AT(power_factor_1, 100);
QV5810_FIELD_AT(power_factor_2, 104);
QV5810_FIELD_AT(power_factor_3, 108);
QV5810_FIELD_AT(avg_current_1, 112);
QV5810_FIELD_AT(avg_current_2, 116);
QV5810_FIELD_AT(avg_current_3, 120);
QV5810_FIELD_AT(total_avg_active_power_pos, 124);
QV5810_FIELD_AT(total_avg_active_power_neg, 128);
QV5810_FIELD_AT(total_avg_reactive_power_pos, 132);
QV5810_FIELD_AT(total_avg_reactive_power_neg, 136);
QV5810_FIELD_AT(total_avg_apparent_power, 140);
QV5810_FIELD_AT(active_energy_pos, 144);
QV5810_FIELD_AT(active_energy_neg, 148);
QV5810_FIELD_AT(reactive_energy_pos, 152);
QV5810_FIELD_AT(reactive_energy_neg, 156);
QV5810_FIELD_AT(update_time, 160);
#undef QV5810_FIELD_AT
