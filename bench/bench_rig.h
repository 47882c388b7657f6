// A QV5810 on a controller stand-in whose calls record nothing, driven
// through whole poll cycles: what the plug-in itself costs.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>

#include <array>
#include <cstdint>
#include <memory>

#include "alarms/alarm_rules.h"
#include "host/runtime/host_binding.h"
#include "meter/qv5810.h"

// The controller's calls, recording nothing, not even the alarm batch.
class QuietController : public HostSink {
public:
    bool BatchesAlarms() const override { return false; }
};

class NullLine : public ModbusTransport {
public:
    void ReadRegisters(SPModbus&, int, int) override {}
    void WriteRegister(SPModbus&, int, int) override {}
    void WriteRegisters(SPModbus&, int, int, const unsigned short*) override {}
};

// Every quantity near its working value, registers as the meter sends them.
inline std::array<std::uint16_t, 125> meter_block(int first_register, int count) {
    std::array<std::uint16_t, 125> block{};
    for (int i = 0; i < count; i += 2) {
        const int reg = first_register + i;
        const std::int32_t raw = reg < 1800 ? 41234 : reg < 1812 ? 2305 + i : reg < 1880 ? 9000 + i : 123456 + i;
        block[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(static_cast<std::uint32_t>(raw) >> 16);
        block[static_cast<std::size_t>(i) + 1] = static_cast<std::uint16_t>(raw & 0xFFFF);
    }
    return block;
}

struct BenchRig {
    explicit BenchRig(int mode, boost::posix_time::ptime (*clock)()) : device(new QV5810()) {
        binding.sink = &sink;
        binding.transport = &line;
        HostBinding::Attach(*device, &binding, 1);
        device->UseWallClock(clock);
        Json::Value config;
        config["appSetting"]["b_mode"] = mode;
        device->InitSetting(config);
        for (const AlarmRule& rule : kAlarmRules) HostBinding::SetThreshold(*device, rule.key, 1, 235.0f);
    }

    void Cycle() {
        device->RefreshStatus();
        HostBinding::DeliverAnswer(*device, block1.data(), 22);
        HostBinding::DeliverAnswer(*device, block2.data(), 32);
        HostBinding::DeliverAnswer(*device, block3.data(), 16);
        HostBinding::DeliverAnswer(*device, block4.data(), 8);
    }

    int Control(int code, void* output, int capacity) {
        int written = 0;
        return device->DeviceIoControl(code, nullptr, 0, output, capacity, written);
    }

    QuietController sink;
    NullLine line;
    HostBinding binding;
    std::unique_ptr<QV5810> device;
    const std::array<std::uint16_t, 125> block1 = meter_block(1792, 22);
    const std::array<std::uint16_t, 125> block2 = meter_block(1814, 32);
    const std::array<std::uint16_t, 125> block3 = meter_block(1846, 16);
    const std::array<std::uint16_t, 125> block4 = meter_block(1880, 8);
};

// Clocks for the device: one that stands still (the snapshot stays current)
// and one that moves a second per reading (every cycle makes it stale).
inline boost::posix_time::ptime still_clock() {
    static const boost::posix_time::ptime now = boost::posix_time::time_from_string("2026-01-01 00:00:00");
    return now;
}

inline boost::posix_time::ptime ticking_clock() {
    static long long seconds = 0;
    return still_clock() + boost::posix_time::seconds(static_cast<long>(++seconds));
}
