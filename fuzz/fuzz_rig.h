// A QV5810 bound to a controller stand-in that records nothing, for fuzzing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/runtime/host_binding.h"
#include "meter/qv5810.h"

class SilentLine : public ModbusTransport {
public:
    void ReadRegisters(SPModbus&, int, int) override {}
    void WriteRegister(SPModbus&, int, int) override {}
    void WriteRegisters(SPModbus&, int, int count, const unsigned short* values) override {
        // Touch every value the device handed over, so a bad pointer shows.
        volatile unsigned sum = 0;
        for (int i = 0; i < count; ++i) sum = sum + values[i];
    }
};

struct FuzzRig {
    FuzzRig() : device(new QV5810()) {
        binding.sink = &sink;
        binding.transport = &line;
        HostBinding::Attach(*device, &binding, 7);
    }
    HostSink sink;
    SilentLine line;
    HostBinding binding;
    std::unique_ptr<QV5810> device;
};

// Reads fuzz input front to back; past the end it yields zeros.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    template <typename T>
    T Take() {
        T value{};
        const std::size_t n = sizeof(T) < size_ - used_ ? sizeof(T) : size_ - used_;
        std::memcpy(&value, data_ + used_, n);
        used_ += n;
        return value;
    }
    const std::uint8_t* Rest() const { return data_ + used_; }
    std::size_t Left() const { return size_ - used_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};
