// The meter record's layout, the quantity table and the decoding rule.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "meter/decode.h"
#include "meter/quantities.h"
#include "meter/qv5810_record.h"
#include "meter/register_map.h"
#include "tests/support/meter_oracle.h"

namespace {

QV5810_Data_t record_with_pair(std::size_t offset, std::uint16_t high, std::uint16_t low) {
    QV5810_Data_t record;
    std::memset(&record, 0, sizeof record);
    auto* bytes = reinterpret_cast<unsigned char*>(&record);
    std::memcpy(bytes + offset, &high, 2);
    std::memcpy(bytes + offset + 2, &low, 2);
    return record;
}

// The plug-in's quantity at a register pair the meter documents.
const QuantityInfo& at(std::uint16_t high_register) {
    const std::size_t row = quantity_index(high_register);
    if (row == kQuantities.size()) throw std::logic_error("no quantity at that register");
    return kQuantities[row];
}

std::int32_t decode_pair(std::uint16_t high_register, std::uint16_t high, std::uint16_t low) {
    const auto offset = static_cast<std::size_t>(oracle::record_offset(high_register));
    return decode_quantity(record_with_pair(offset, high, low), at(high_register));
}

std::int32_t raw_pair(std::uint16_t high, std::uint16_t low) {
    const QV5810_Data_t record = record_with_pair(4, high, low);
    return decode_raw(reinterpret_cast<const unsigned char*>(&record), 4);
}

}  // namespace

TEST(RecordLayout, IsPacked167BytesWithFieldsAtTheirOffsets) {
    // Runs on the controller's ABI too, where alignment rules differ.
    EXPECT_EQ(sizeof(QV5810_Data_t), 167u);
    EXPECT_EQ(offsetof(QV5810_Data_t, dev_id), 0u);
    EXPECT_EQ(offsetof(QV5810_Data_t, raw_1798), 16u);
    EXPECT_EQ(offsetof(QV5810_Data_t, total_active_power), 48u);
    EXPECT_EQ(offsetof(QV5810_Data_t, avg_current_1), 112u);
    EXPECT_EQ(offsetof(QV5810_Data_t, active_energy_pos), 144u);
    EXPECT_EQ(offsetof(QV5810_Data_t, reactive_energy_neg), 156u);
    EXPECT_EQ(offsetof(QV5810_Data_t, update_time), 160u);
}

TEST(RecordLayout, RegisterBlocksMatchTheMeterMap) {
    const struct { int first, count; std::size_t offset; } expected[] = {
        {1792, 22, 4}, {1814, 32, 48}, {1846, 16, 112}, {1880, 8, 144}};
    ASSERT_EQ(kRegisterBlocks.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(kRegisterBlocks[i].first_register, expected[i].first);
        EXPECT_EQ(kRegisterBlocks[i].register_count, expected[i].count);
        EXPECT_EQ(block_record_offset(i), expected[i].offset);
        EXPECT_EQ(block_poll_state(i), 11 + static_cast<int>(i));
    }
}

TEST(QuantityTable, AgreesWithTheMeterDocumentation) {
    const auto& members = oracle::snapshot_members();
    ASSERT_EQ(kQuantities.size(), members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        SCOPED_TRACE(members[i].name);
        EXPECT_STREQ(kQuantities[i].snapshot_name, members[i].name);
        EXPECT_EQ(kQuantities[i].high_register, members[i].high_register);
        EXPECT_EQ(kQuantities[i].divisor, members[i].divisor);
        EXPECT_EQ(static_cast<int>(quantity_record_offset(kQuantities[i])),
                  oracle::record_offset(members[i].high_register));
    }
}

TEST(Decode, HighWordFirstLittleEndianBytes) {
    // Registers 1800 = 0x0000, 1801 = 0x08FC lie as 00 00 FC 08.
    QV5810_Data_t record;
    std::memset(&record, 0, sizeof record);
    const unsigned char bytes[] = {0x00, 0x00, 0xFC, 0x08};
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + 20, bytes, 4);
    EXPECT_EQ(decode_quantity(record, at(1800)), 230);
}

TEST(Decode, SignAndLowWordAtOrAbove0x8000) {
    EXPECT_EQ(raw_pair(0x0001, 0x8000), 98304);
    EXPECT_EQ(decode_pair(oracle::kCurrent1, 0x0001, 0x8000), 98);
    EXPECT_EQ(raw_pair(0xFFFF, 0xFC18), -1000);
    EXPECT_EQ(decode_pair(oracle::kCurrent1, 0xFFFF, 0xFC18), -1);
    EXPECT_EQ(decode_pair(1814, 0x0000, 0x9C40), 40);
    EXPECT_EQ(decode_pair(1880, 0x8000, 0x0000), INT32_MIN);
    EXPECT_EQ(decode_pair(1882, 0x7FFF, 0xFFFF), INT32_MAX);
    EXPECT_EQ(raw_pair(0xFFFF, 0xFFFF), -1);
}

TEST(Decode, TruncatesTowardZero) {
    auto pair_of = [](std::int32_t raw, std::uint16_t q) {
        const auto bits = static_cast<std::uint32_t>(raw);
        return decode_pair(q, static_cast<std::uint16_t>(bits >> 16), static_cast<std::uint16_t>(bits));
    };
    EXPECT_EQ(pair_of(2309, oracle::kPhaseVoltage1), 230);
    EXPECT_EQ(pair_of(-2309, oracle::kPhaseVoltage1), -230);
    EXPECT_EQ(pair_of(-25, oracle::kPhaseVoltage2), -2);
    EXPECT_EQ(pair_of(-100, oracle::kCurrent2), 0);
    EXPECT_EQ(pair_of(-1999, oracle::kCurrent3), -1);
    EXPECT_EQ(pair_of(985, 1840), 0);
    EXPECT_EQ(pair_of(1000, 1840), 1);
    EXPECT_EQ(pair_of(4999, 1812), 49);
}

TEST(Decode, ZeroRecordDecodesToZeroEverywhere) {
    QV5810_Data_t record;
    std::memset(&record, 0, sizeof record);
    for (const QuantityInfo& q : kQuantities) EXPECT_EQ(decode_quantity(record, q), 0) << q.snapshot_name;
}
