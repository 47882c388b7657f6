// The one rule by which a quantity is read from the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "meter/quantities.h"

// Two registers at `offset` (the high half first), each stored little-endian,
// form a signed 32-bit raw value.
inline std::int32_t decode_raw(const unsigned char* record_bytes, std::size_t offset) {
    const unsigned char* p = record_bytes + offset;
    const std::uint32_t high = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
    const std::uint32_t low = static_cast<std::uint32_t>(p[2]) | (static_cast<std::uint32_t>(p[3]) << 8);
    const std::uint32_t bits = (high << 16) | low;
    // Two's complement without relying on implementation-defined narrowing.
    return bits <= 0x7FFFFFFFu ? static_cast<std::int32_t>(bits)
                               : -static_cast<std::int32_t>(~bits) - 1;
}

// The quantity's raw value divided by its divisor, truncated toward zero.
inline std::int32_t decode_quantity(const QV5810_Data_t& record, const QuantityInfo& quantity) {
    return decode_raw(reinterpret_cast<const unsigned char*>(&record), quantity_record_offset(quantity)) /
           quantity.divisor;
}
