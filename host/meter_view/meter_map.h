// The meter's register map as the bench host reads it: the four register
// blocks of a poll cycle and where each register lands in the 167-byte
// record. Written from the meter's register map, apart from the plug-in's
// tables, so that what the bench host shows checks what the plug-in did.
#pragma once

#include <array>

struct MeterBlock {
    int first_register;
    int count;
};

// In the order a poll cycle reads them.
inline constexpr std::array<MeterBlock, 4> kMeterBlocks = {{{1792, 22}, {1814, 32}, {1846, 16}, {1880, 8}}};

// The record: a four-byte device id, the blocks' registers one after another
// (each stored low byte first), then the seven-byte time stamp.
inline constexpr int kRecordRegistersAt = 4;

// Where a register's two bytes lie in the record, or -1 when no block reads it.
constexpr int record_offset(int reg) {
    int at = kRecordRegistersAt;
    for (const MeterBlock& block : kMeterBlocks) {
        if (reg >= block.first_register && reg < block.first_register + block.count) {
            return at + 2 * (reg - block.first_register);
        }
        at += 2 * block.count;
    }
    return -1;
}

// A register the meter's documentation says may be written, by name.
struct WritableRegister {
    int address;
    const char* label;
};

// The meter's register map documents readings only and no setting: the
// page lists what is here and asks for a confirmation before a write to
// any other address. A documented setting goes here, in address order.
inline constexpr std::array<WritableRegister, 0> kWritableRegisters = {};

// The wire time of one poll cycle at `baud` with `bits_per_character`: what
// no host can beat on that line.
double cycle_wire_limit_ms(int baud, int bits_per_character);
