// ModbusContext on a libmodbus context, whichever backend opened it: the
// calls, the line's timeouts, and the way a stop signal cuts a wait short.
#pragma once

#include <modbus.h>

#include "host/line/line_settings.h"
#include "host/line/modbus_context.h"

class LibmodbusContext : public ModbusContext {
public:
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
    // line: the wait ends at once and every later call on the line fails.
    static void InterruptFromSignal();

protected:
    // Takes over `ctx` (which must not be null) and sets the line's timeouts on it.
    LibmodbusContext(modbus_t* ctx, const LineSettings& settings);
    // After every connect: the line a stop request cuts is the one now open.
    void Connected();
    // Before closing the line, so that a stop request never cuts a closed one.
    void Disconnecting();
    // Whether a stop request came, in which case no line is opened again.
    static bool Interrupted();

    modbus_t* ctx_;
};
