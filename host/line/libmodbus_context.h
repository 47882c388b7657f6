// ModbusContext on a libmodbus context, whichever backend opened it: the
// calls, the line's timeouts, the way a stop signal cuts a wait short, and
// a line that went away closed and opened again before the next request
// (the backend says how it opens and which errors mean it is gone).
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
    // 0 when the line is open or opened now, or minus the errno of the failed open.
    int EnsureOpen();

    modbus_t* ctx_;

private:
    // The backend's connect, with Connected() once it succeeded: 0, or minus the errno.
    virtual int Reopen() = 0;
    // Whether a call's errno says the line went away (not that one answer failed).
    virtual bool Gone(int error) const = 0;
    // `rc` as the call returned it; a line gone is closed for the next request to open again.
    int Checked(int rc);

    bool open_ = false;
};
