// The meter's four register blocks, read in this order each poll cycle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "meter/poll_tags.h"
#include "meter/qv5810_record.h"

// As the meter documents them: the first register and how many follow.
struct RegisterBlock {
    std::uint16_t first_register;
    std::uint16_t register_count;
};

inline constexpr std::array<RegisterBlock, 4> kRegisterBlocks = {{
    {1792, 22},
    {1814, 32},
    {1846, 16},
    {1880, 8},
}};

constexpr std::size_t kRegisterBytes = 2;

// The blocks land one after another in the record's register area.
constexpr std::size_t block_record_offset(std::size_t block) {
    std::size_t offset = offsetof(QV5810_Data_t, current_1);
    for (std::size_t i = 0; i < block; ++i) offset += kRegisterBytes * kRegisterBlocks[i].register_count;
    return offset;
}

constexpr std::size_t block_bytes(std::size_t block) {
    return kRegisterBytes * kRegisterBlocks[block].register_count;
}

constexpr std::size_t largest_block_bytes() {
    std::size_t largest = 0;
    for (std::size_t i = 0; i < kRegisterBlocks.size(); ++i) largest = block_bytes(i) > largest ? block_bytes(i) : largest;
    return largest;
}

// The exchange tag under which the answer to a block is awaited.
constexpr std::int32_t block_poll_state(std::size_t block) {
    return poll_state_tag::kFirstBlock + static_cast<std::int32_t>(block);
}

constexpr std::size_t kNoRecordOffset = static_cast<std::size_t>(-1);

// Where a register lies in the record, or kNoRecordOffset when no block reads it.
constexpr std::size_t record_offset_of_register(std::uint32_t reg) {
    for (std::size_t i = 0; i < kRegisterBlocks.size(); ++i) {
        const RegisterBlock& block = kRegisterBlocks[i];
        if (reg >= block.first_register && reg < block.first_register + block.register_count) {
            return block_record_offset(i) + kRegisterBytes * (reg - block.first_register);
        }
    }
    return kNoRecordOffset;
}

static_assert(block_record_offset(kRegisterBlocks.size()) == offsetof(QV5810_Data_t, update_time),
              "the blocks fill the register area without a gap");
