// The bench host's Modbus line. Devices queue one request at a time (as
// the controller's Modbus master allows); the poll loop then runs it on the
// wire, retrying a failed attempt after flushing the line, and hands the
// answer to the device only when it is complete and answers this request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/line/modbus_context.h"
#include "host/runtime/modbus_transport.h"

// Registers as a read answered them: the first one's address, then each value.
struct ReadAnswer {
    int first = 0;
    std::vector<std::uint16_t> registers;
};

struct Exchange {
    enum Outcome { answered, timeout, crc, bad_data, exception, interrupted, failed } outcome = failed;
    std::string request;     // e.g. "read 1792/22"
    std::string message;     // what went wrong, for people
    bool delivered = false;  // the device was handed an answer
    int attempts = 0;
    double latency_ms = 0;   // of the last attempt: request sent to answer taken
    int request_bytes = 0;   // on the wire, CRC included
    int answer_bytes = 0;
    ReadAnswer read;         // a delivered read's registers; none for a write or a failure
};

const char* outcome_name(Exchange::Outcome outcome);

struct RetryPolicy {
    int retries = 2;
    int delay_ms = 0;  // silence kept before each attempt
    // After a failed attempt, the line must stay silent this long before the
    // next request, so that an answer still on its way is dropped with it.
    int quiet_after_failure_ms = 0;
    // The configured response timeout, which an exchange with a patience of
    // its own returns to; 0: the context's is never changed.
    int response_timeout_ms = 0;
};

// How long each attempt of one exchange waits for its answer, and the line
// stays quiet after it fails; none set: the configured timeout throughout.
struct Waits {
    int first_ms = 0;        // the first attempt's wait
    int first_quiet_ms = 0;  // after it
    int later_ms = 0;        // each further attempt's wait, and quiet after it
    bool retry_timeouts = true;  // false: silence ends the exchange; a broken answer is still tried again
};

// The bytes a request and its answer take on the wire, framing included.
struct FrameBytes {
    int request = 0, answer = 0;
};

class ModbusLine : public ModbusTransport {
public:
    ModbusLine(ModbusContext& context, RetryPolicy policy, Clock& clock, const StopSignal& stop);

    void ReadRegisters(SPModbus& device, int address, int count) override;
    void WriteRegister(SPModbus& device, int address, int value) override;
    void WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) override;

    // A meter that has stopped answering is probed with one attempt: its
    // retries would cost the line's other meters their time.
    enum class Attempts { with_retries, once };

    bool HasPending() const { return pending_.has_value(); }
    // Puts the queued request on the wire for the device's slave address.
    // A complete answer goes to the device's process_payload; when every
    // attempt failed, the device's on_error.
    // `waits` in place of the configured timeout and quiet window: for a
    // meter whose answers' time is known.
    Exchange RunPending(Attempts attempts = Attempts::with_retries, std::optional<Waits> waits = std::nullopt);
    // The queued request's frames; none when nothing is queued.
    std::optional<FrameBytes> PendingFrames();

private:
    struct Request {
        SPModbus* device;
        int function;
        int address;
        int count;
        std::vector<std::uint16_t> values;
    };
    Exchange Attempt(const Request& request, std::vector<std::uint16_t>& answer);
    Exchange Read(const Request& request, std::vector<std::uint16_t>& registers);
    Exchange Write(const Request& request, std::vector<std::uint16_t>& echo);

    ModbusContext& context_;
    RetryPolicy policy_;
    Clock& clock_;
    const StopSignal& stop_;
    std::optional<Request> pending_;
    int response_timeout_ms_;  // as the context has it now
};
