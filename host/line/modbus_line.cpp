#include "host/line/modbus_line.h"

#include <modbus.h>

#include <cerrno>

#include "host/line/write_echo.h"
#include "host/runtime/host_binding.h"

namespace {

std::string describe(int function, int address, int count) {
    const char* what = function == MODBUS_FC_READ_HOLDING_REGISTERS   ? "read "
                       : function == MODBUS_FC_WRITE_SINGLE_REGISTER ? "write "
                                                                     : "write-multiple ";
    return what + std::to_string(address) + "/" + std::to_string(count);
}

// A gateway's word that the meter behind it did not answer, or cannot be
// reached, is no refusal of the meter's: it is asked again, as after a timeout.
bool gateway_heard_nothing(int exception_code) {
    return exception_code == MODBUS_EXCEPTION_GATEWAY_PATH || exception_code == MODBUS_EXCEPTION_GATEWAY_TARGET;
}

Exchange::Outcome outcome_of(int error) {
    if (error == ETIMEDOUT || gateway_heard_nothing(error - MODBUS_ENOBASE)) return Exchange::timeout;
    if (error == EMBBADCRC) return Exchange::crc;
    if (error == EMBBADDATA || error == EMBBADSLAVE || error == EMBMDATA) return Exchange::bad_data;
    if (error > MODBUS_ENOBASE && error < EMBBADCRC) return Exchange::exception;
    return Exchange::failed;
}

}  // namespace

const char* outcome_name(Exchange::Outcome outcome) {
    switch (outcome) {
        case Exchange::answered: return "answered";
        case Exchange::timeout: return "timeout";
        case Exchange::crc: return "crc";
        case Exchange::bad_data: return "bad_data";
        case Exchange::exception: return "exception";
        case Exchange::interrupted: return "interrupted";
        case Exchange::failed: break;
    }
    return "error";
}

ModbusLine::ModbusLine(ModbusContext& context, RetryPolicy policy, Clock& clock, const StopSignal& stop)
    : context_(context), policy_(policy), clock_(clock), stop_(stop), response_timeout_ms_(policy.response_timeout_ms) {}

std::optional<FrameBytes> ModbusLine::PendingFrames() {
    if (!pending_) return std::nullopt;
    const int framing = context_.HeaderLength() + context_.ChecksumLength();
    switch (pending_->function) {
        case MODBUS_FC_READ_HOLDING_REGISTERS: return FrameBytes{framing + 5, framing + 2 + 2 * pending_->count};
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: return FrameBytes{framing + 6 + 2 * pending_->count, framing + 5};
        default: return FrameBytes{framing + 5, framing + 5};
    }
}

void ModbusLine::ReadRegisters(SPModbus& device, int address, int count) {
    pending_ = Request{&device, MODBUS_FC_READ_HOLDING_REGISTERS, address, count, {}};
}

void ModbusLine::WriteRegister(SPModbus& device, int address, int value) {
    pending_ = Request{&device, MODBUS_FC_WRITE_SINGLE_REGISTER, address, 1, {static_cast<std::uint16_t>(value)}};
}

void ModbusLine::WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) {
    pending_ = Request{&device, MODBUS_FC_WRITE_MULTIPLE_REGISTERS, address, count,
                       std::vector<std::uint16_t>(values, values + (count > 0 ? count : 0))};
}

Exchange ModbusLine::RunPending(Attempts attempts, std::optional<Waits> waits) {
    const Request request = *pending_;
    pending_.reset();
    context_.SetSlave(request.device->SlaveAddress());
    const Waits configured{policy_.response_timeout_ms, policy_.quiet_after_failure_ms, policy_.response_timeout_ms, true};
    const Waits& wait = waits ? *waits : configured;
    std::vector<std::uint16_t> answer;
    Exchange exchange;
    exchange.request = describe(request.function, request.address, request.count);
    const int most = attempts == Attempts::once ? 1 : 1 + policy_.retries;
    for (int attempt = 1; attempt <= most; ++attempt) {
        if (stop_.requested()) break;
        // Whatever is still on the line (a late or broken answer to an
        // earlier attempt) goes now, before it can be read as this answer.
        context_.Flush();
        if (policy_.delay_ms > 0 &&
            !clock_.SleepUntil(clock_.Now() + std::chrono::milliseconds(policy_.delay_ms), stop_)) {
            break;
        }
        const int timeout_ms = attempt == 1 ? wait.first_ms : wait.later_ms;
        if (timeout_ms > 0 && timeout_ms != response_timeout_ms_) {
            context_.SetResponseTimeout(timeout_ms);
            response_timeout_ms_ = timeout_ms;
        }
        const auto start = clock_.Now();
        exchange = Attempt(request, answer);
        exchange.attempts = attempt;
        exchange.latency_ms = milliseconds_between(start, clock_.Now());
        // A refusal is the meter's answer: asking again changes nothing.
        if (exchange.outcome == Exchange::answered || exchange.outcome == Exchange::exception) break;
        const int quiet_ms = attempt == 1 ? wait.first_quiet_ms : wait.later_ms;
        if (!stop_.requested() && quiet_ms > 0) context_.Drain(quiet_ms);
        if (exchange.outcome == Exchange::timeout && !wait.retry_timeouts) break;
    }
    if (stop_.requested() && exchange.outcome != Exchange::answered && exchange.outcome != Exchange::exception) {
        exchange.outcome = Exchange::interrupted;
        exchange.message = "interrupted";
    }
    if (!answer.empty()) {
        exchange.delivered = true;
        HostBinding::DeliverAnswer(*request.device, answer.data(), static_cast<unsigned>(answer.size()));
        if (request.function == MODBUS_FC_READ_HOLDING_REGISTERS) exchange.read = {request.address, std::move(answer)};
        return exchange;
    }
    context_.Flush();
    request.device->on_error();
    return exchange;
}

Exchange ModbusLine::Attempt(const Request& request, std::vector<std::uint16_t>& answer) {
    answer.clear();
    Exchange exchange = request.function == MODBUS_FC_READ_HOLDING_REGISTERS ? Read(request, answer)
                                                                             : Write(request, answer);
    exchange.request = describe(request.function, request.address, request.count);
    return exchange;
}

Exchange ModbusLine::Read(const Request& request, std::vector<std::uint16_t>& registers) {
    Exchange exchange;
    const int framing = context_.HeaderLength() + context_.ChecksumLength();
    exchange.request_bytes = framing + 5;
    if (request.count < 1 || request.count > MODBUS_MAX_READ_REGISTERS) {
        exchange.message = "cannot read " + std::to_string(request.count) + " registers at once";
        return exchange;
    }
    std::vector<std::uint16_t> got(static_cast<std::size_t>(request.count));
    const int rc = context_.ReadRegisters(request.address, request.count, got.data());
    if (rc < 0) {
        exchange.outcome = outcome_of(-rc);
        exchange.message = modbus_strerror(-rc);
        return exchange;
    }
    // libmodbus refuses an answer whose register count differs from the
    // request; should one come through all the same, the device must never
    // see it, for it would take the missing registers from the last answer.
    if (rc != request.count) {
        exchange.outcome = Exchange::bad_data;
        exchange.message = "short answer: " + std::to_string(rc) + " of " + std::to_string(request.count) + " registers";
        return exchange;
    }
    exchange.outcome = Exchange::answered;
    exchange.answer_bytes = framing + 2 + 2 * request.count;
    registers = std::move(got);
    return exchange;
}

// Writes go out raw so that the echo can be checked here and then handed to
// the device, which confirms the write against it: the echoed value for
// function 6, the function code and register count for function 16.
Exchange ModbusLine::Write(const Request& request, std::vector<std::uint16_t>& echo) {
    Exchange exchange;
    std::vector<std::uint8_t> frame;
    try {
        frame = write_request(request.device->SlaveAddress(), request.address, request.values,
                              request.function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS);
    } catch (const std::invalid_argument& e) {
        exchange.message = e.what();
        return exchange;
    }
    // The frame's slave address is the last byte of the header on the wire.
    exchange.request_bytes = static_cast<int>(frame.size()) - 1 + context_.HeaderLength() + context_.ChecksumLength();
    const int sent = context_.SendRawRequest(frame.data(), static_cast<int>(frame.size()));
    if (sent < 0) {
        exchange.outcome = outcome_of(-sent);
        exchange.message = std::string("send: ") + modbus_strerror(-sent);
        return exchange;
    }
    std::uint8_t answer[MODBUS_MAX_ADU_LENGTH] = {};
    const int length = context_.ReceiveConfirmation(answer);
    if (length < 0) {
        exchange.outcome = outcome_of(-length);
        exchange.message = modbus_strerror(-length);
        return exchange;
    }
    exchange.answer_bytes = length;
    const EchoCheck check =
        check_write_echo(frame, answer, length, EchoFraming{context_.HeaderLength(), context_.ChecksumLength()});
    const bool single = request.function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    switch (check.kind) {
        case EchoCheck::confirmed:
            exchange.outcome = Exchange::answered;
            echo = single ? std::vector<std::uint16_t>{request.values.front()}
                          : std::vector<std::uint16_t>{MODBUS_FC_WRITE_MULTIPLE_REGISTERS,
                                                       static_cast<std::uint16_t>(request.count)};
            break;
        case EchoCheck::refused:
            if (gateway_heard_nothing(check.exception_code)) {
                exchange.outcome = Exchange::timeout;
                exchange.message = modbus_strerror(MODBUS_ENOBASE + check.exception_code);
                break;
            }
            // The device sees the refusal as an answer that echoes nothing
            // it wrote: never the value written, never function 16.
            exchange.outcome = Exchange::exception;
            exchange.message = "exception " + std::to_string(check.exception_code);
            echo = single ? std::vector<std::uint16_t>{static_cast<std::uint16_t>(~request.values.front())}
                          : std::vector<std::uint16_t>{static_cast<std::uint16_t>(request.function | 0x80), 0};
            break;
        case EchoCheck::mismatch:
            exchange.outcome = Exchange::bad_data;
            exchange.message = check.why;
            break;
    }
    return exchange;
}
