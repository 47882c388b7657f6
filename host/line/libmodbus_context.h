// ModbusContext on a libmodbus context, whichever backend opened it: the
// calls, the line's timeouts, the way a stop cuts a wait short, and a line
// that went away closed and opened again before the next request (the
// backend says how it opens and which errors mean it is gone).
#pragma once

#include <modbus.h>
#include <pthread.h>

#include <mutex>

#include "host/common/stop_signal.h"
#include "host/config/line_settings.h"
#include "host/line/modbus_context.h"

class LibmodbusContext : public ModbusContext {
public:
    ~LibmodbusContext() override;
    LibmodbusContext(const LibmodbusContext&) = delete;
    LibmodbusContext& operator=(const LibmodbusContext&) = delete;

    int SetSlave(int slave) override;
    int SetResponseTimeout(int milliseconds) override;
    int ReadRegisters(int address, int count, std::uint16_t* destination) override;
    int SendRawRequest(const std::uint8_t* request, int length) override;
    int ReceiveConfirmation(std::uint8_t* answer) override;
    int Flush() override;
    int Drain(int quiet_ms) override;
    int HeaderLength() override;

    // Any thread. libmodbus waits for an answer in select() and starts the
    // wait again when a signal interrupts it, so this context puts its own
    // /dev/null in place of its line and wakes the thread waiting on it: the
    // wait ends at once, and every later call on the line fails.
    void Interrupt();

protected:
    // Takes over `ctx` (which must not be null), sets the line's timeouts
    // on it, and is interrupted when `stop` is raised.
    LibmodbusContext(modbus_t* ctx, const LineSettings& settings, StopSignal& stop);
    // After every connect: the line a stop cuts is the one now open.
    void Connected();
    // Before closing the line, so that a stop never cuts a closed one.
    void Disconnecting();
    // Whether a stop came, in which case no line is opened again.
    bool Interrupted();
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

    // Marks the calling thread as the one waiting on the line, for Interrupt to wake.
    class Waiting {
    public:
        explicit Waiting(LibmodbusContext& context);
        ~Waiting();
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        LibmodbusContext& context_;
    };

    std::mutex line_mutex_;  // guards the four below: Interrupt comes from another thread
    int line_fd_ = -1;       // the open line's descriptor; -1 while closed
    int null_fd_ = -1;       // this context's /dev/null, put over the line by Interrupt
    bool interrupted_ = false;
    int waiting_ = 0;        // calls under way; the waiting thread is `waiter_`
    pthread_t waiter_{};
    bool open_ = false;      // the poll thread's alone
    StopSignal::Hook stop_hook_;  // last: it is removed first, before anything it touches goes
};
