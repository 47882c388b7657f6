#include "control/command_input.h"

#include <cstdint>
#include <cstring>
#include <exception>

#include <json/reader.h>
#include <json/value.h>

namespace {

std::uint16_t word_at(const void* input, std::size_t index) {
    std::uint16_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(input) + index * sizeof word, sizeof word);
    return word;
}

}  // namespace

int usable_size(const void* buffer, int size) { return buffer == nullptr || size < 0 ? 0 : size; }

std::optional<SingleWrite> read_single_write(const void* input, int length) {
    if (usable_size(input, length) < 4) return std::nullopt;
    return SingleWrite{word_at(input, 0), word_at(input, 1)};
}

std::optional<MultipleWrite> read_multiple_write(const void* input, int length) {
    const int usable = usable_size(input, length);
    const int count = usable / 2 - 1;
    if (usable < 4 || count > kMaxWriteRegisters) return std::nullopt;
    return MultipleWrite{word_at(input, 0), count};
}

const std::uint16_t* multiple_write_values(const void* input, int count, WriteScratch& scratch) {
    const unsigned char* values = static_cast<const unsigned char*>(input) + sizeof(std::uint16_t);
    if (reinterpret_cast<std::uintptr_t>(values) % alignof(std::uint16_t) == 0) {
        return reinterpret_cast<const std::uint16_t*>(values);
    }
    std::memcpy(scratch.data(), values, static_cast<std::size_t>(count) * sizeof(std::uint16_t));
    return scratch.data();
}

bool signal_request_parses(const void* input, int length) {
    const int usable = usable_size(input, length);
    const char* text = usable > 0 ? static_cast<const char*>(input) : "";
    try {
        Json::Value request;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        return reader.parse(text, text + usable, request, true);
    } catch (const std::exception&) {
        // Too deep a nesting, for one, throws instead of failing.
        return false;
    }
}

void report_write_status(std::int32_t status, void* output, int capacity, int& written) {
    if (usable_size(output, capacity) < static_cast<int>(sizeof status)) {
        written = 0;
        return;
    }
    std::memcpy(output, &status, sizeof status);
    written = static_cast<int>(sizeof status);
}
