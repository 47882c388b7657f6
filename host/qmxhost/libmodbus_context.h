// ModbusContext on a libmodbus RTU context opened with the line's settings.
#pragma once

#include <modbus.h>

#include "host/qmxhost/line_settings.h"
#include "host/qmxhost/modbus_context.h"

class LibmodbusContext : public ModbusContext {
public:
    explicit LibmodbusContext(const LineSettings& settings);  // throws std::runtime_error
    ~LibmodbusContext() override;
    LibmodbusContext(const LibmodbusContext&) = delete;
    LibmodbusContext& operator=(const LibmodbusContext&) = delete;

    int SetSlave(int slave) override;
    int ReadRegisters(int address, int count, std::uint16_t* destination) override;
    int SendRawRequest(const std::uint8_t* request, int length) override;
    int ReceiveConfirmation(std::uint8_t* answer) override;
    int Flush() override;
    int Drain(int quiet_ms) override;
    int HeaderLength() override;

    // Async-signal-safe. libmodbus restarts its wait for an answer when a
    // signal interrupts it, so a stop request puts /dev/null in place of the
    // port: the wait ends at once and every later call on the line fails.
    static void InterruptFromSignal();

private:
    modbus_t* ctx_ = nullptr;
};
