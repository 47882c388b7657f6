// Reading what the controller hands a device with a control command.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

// The most registers one Modbus write may carry (a request frame's limit).
constexpr int kMaxWriteRegisters = 123;

// A null buffer or a negative size counts as no room at all.
int usable_size(const void* buffer, int size);

struct SingleWrite {
    std::uint16_t address;
    std::uint16_t value;
};

// Command 206: the address word, then the value word, in native byte order.
// Nothing when the input holds fewer than 4 bytes.
std::optional<SingleWrite> read_single_write(const void* input, int length);

struct MultipleWrite {
    std::uint16_t address;
    int count;
};

// Command 210: the start address word, then (length / 2) - 1 values; an odd
// last byte is ignored. Nothing when fewer than 4 bytes or more values than
// one request carries.
std::optional<MultipleWrite> read_multiple_write(const void* input, int length);

using WriteScratch = std::array<std::uint16_t, kMaxWriteRegisters>;

// The `count` values after the start address, handed over in place. Only an
// input that is not aligned for 16-bit words is copied into `scratch`
// first, since reading words through a misaligned pointer is undefined.
const std::uint16_t* multiple_write_values(const void* input, int count, WriteScratch& scratch);

// Command 310: whether the input is JSON text, comments allowed.
bool signal_request_parses(const void* input, int length);

// The write-status answer: the status in the first 4 bytes of the output
// and 4 as the written length, or 0 and nothing written when there is no
// room for it.
void report_write_status(std::int32_t status, void* output, int capacity, int& written);
