// The meter's four register blocks, read in this order each poll cycle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meter/qv5810_record.h"

struct RegisterBlock {
    std::int32_t poll_state;      // the state that awaits this block's answer
    std::uint16_t first_register;
    std::uint16_t register_count;
    std::size_t record_offset;
};

inline constexpr std::array<RegisterBlock, 4> kRegisterBlocks = {{
    {11, 1792, 22, offsetof(QV5810_Data_t, current_1)},
    {12, 1814, 32, offsetof(QV5810_Data_t, total_active_power)},
    {13, 1846, 16, offsetof(QV5810_Data_t, avg_current_1)},
    {14, 1880, 8, offsetof(QV5810_Data_t, active_energy_pos)},
}};

// The record offset of a register, or 0 when no block reads it.
constexpr std::size_t record_offset_of_register(std::uint32_t reg) {
    for (const RegisterBlock& block : kRegisterBlocks) {
        if (reg >= block.first_register && reg < block.first_register + block.register_count) {
            return block.record_offset + 2u * (reg - block.first_register);
        }
    }
    return 0;
}

constexpr bool blocks_tile_register_area() {
    std::size_t next = offsetof(QV5810_Data_t, current_1);
    for (const RegisterBlock& block : kRegisterBlocks) {
        if (block.record_offset != next) return false;
        next += 2u * block.register_count;
    }
    return next == offsetof(QV5810_Data_t, update_time);
}
static_assert(blocks_tile_register_area(), "the blocks fill the register area without a gap");
