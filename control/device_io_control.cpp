// Control requests from the controller: register writes, the write status
// and the signal request; the snapshot commands are in snapshot.cpp.
#include <array>
#include <cstring>
#include <exception>
#include <iostream>

#include <json/reader.h>

#include "meter/qv5810.h"

namespace {

constexpr int kWriteOne = 206;
constexpr int kWriteMany = 210;
constexpr int kSignalRequest = 310;
constexpr int kCommand320 = 320;
constexpr int kSnapshotText = 801;
constexpr int kSnapshotHandle = 803;

// The most registers one Modbus write may carry.
constexpr int kMaxWriteRegisters = 123;

// A null buffer or a negative size is treated as no room at all.
int usable(const void* buffer, int size) { return buffer == nullptr || size < 0 ? 0 : size; }

std::uint16_t word_at(const void* input, std::size_t index) {
    std::uint16_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(input) + index * sizeof word, sizeof word);
    return word;
}

}  // namespace

int QV5810::DeviceIoControl(int code, const void* input, int input_length, void* output,
                            int output_capacity, int& written) {
    std::cout << "QV5810::DeviceIoControl " << code << std::endl;
    switch (code) {
        case kWriteOne:
            return WriteOneRegister(input, input_length);
        case kWriteMany:
            return WriteRegisters(input, input_length);
        case kSignalRequest:
            return SignalRequest(code, input, input_length, output, output_capacity, written);
        case kCommand320:
            BeginCommand(code);
            return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
        case kSnapshotText:
            return SnapshotText(output, usable(output, output_capacity), written);
        case kSnapshotHandle:
            return SnapshotHandle(output, usable(output, output_capacity), written);
        default:
            ReportWriteStatus(output, usable(output, output_capacity), written);
            return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
    }
}

void QV5810::BeginCommand(std::int32_t code) {
    poll_state = code;
    write_status = kWriteNone;
    QMXSPDevice::OpenPort();
}

int QV5810::WriteOneRegister(const void* input, int input_length) {
    if (usable(input, input_length) < 4) return -1;
    const std::uint16_t address = word_at(input, 0);
    const std::uint16_t value = word_at(input, 1);
    BeginCommand(kWriteOne);
    write_expected = value;
    modbus_write_register(address, value);
    return 0;
}

int QV5810::WriteRegisters(const void* input, int input_length) {
    const int length = usable(input, input_length);
    const int count = length / 2 - 1;
    if (length < 4 || count > kMaxWriteRegisters) return -1;
    // The input need not be aligned for 16-bit words; the copy is.
    std::array<std::uint16_t, kMaxWriteRegisters> values;
    std::memcpy(values.data(), static_cast<const unsigned char*>(input) + sizeof(std::uint16_t),
                static_cast<std::size_t>(count) * sizeof(std::uint16_t));
    BeginCommand(kWriteMany);
    write_expected = count;
    modbus_write_registers(word_at(input, 0), count, values.data());
    return 0;
}

int QV5810::SignalRequest(int code, const void* input, int input_length, void* output,
                          int output_capacity, int& written) {
    BeginCommand(code);
    const int length = usable(input, input_length);
    const char* text = length > 0 ? static_cast<const char*>(input) : "";
    bool parsed = false;
    try {
        Json::Value request;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        parsed = reader.parse(text, text + length, request, true);
    } catch (const std::exception&) {
        // Too deep a nesting, for one, throws instead of failing.
        parsed = false;
    }
    if (!parsed) return -1;
    return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
}

void QV5810::ReportWriteStatus(void* output, int output_capacity, int& written) const {
    const std::int32_t status = write_status.load();
    if (output_capacity < static_cast<int>(sizeof status)) {
        written = 0;
        return;
    }
    std::memcpy(output, &status, sizeof status);
    written = static_cast<int>(sizeof status);
}
