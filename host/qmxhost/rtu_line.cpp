#include "host/qmxhost/rtu_line.h"

#include <cerrno>
#include <stdexcept>

#include "host/runtime/host_binding.h"

namespace {

constexpr int kReadHolding = 0x03;
constexpr int kWriteSingle = 0x06;
constexpr int kWriteMultiple = 0x10;
constexpr int kExceptionBit = 0x80;

std::string describe(int function, int address, int count) {
    const char* what = function == kReadHolding ? "read " : function == kWriteSingle ? "write " : "write-multiple ";
    return what + std::to_string(address) + "/" + std::to_string(count);
}

void put_word(std::uint8_t* p, int value) {
    p[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    p[1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::uint16_t word_at(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

const char* outcome_name(Exchange::Outcome outcome) {
    switch (outcome) {
        case Exchange::answered: return "answered";
        case Exchange::timeout: return "timeout";
        case Exchange::crc: return "crc";
        case Exchange::exception: return "exception";
        case Exchange::failed: break;
    }
    return "error";
}

RtuLine::RtuLine(const LineSettings& settings) {
    ctx_ = modbus_new_rtu(settings.port.c_str(), settings.baud, settings.parity, settings.data_bits,
                          settings.stop_bits);
    if (ctx_ == nullptr) throw std::runtime_error("cannot set up the line: " + std::string(modbus_strerror(errno)));
    const auto timeout = static_cast<std::uint32_t>(settings.response_timeout_ms);
    modbus_set_response_timeout(ctx_, timeout / 1000, (timeout % 1000) * 1000);
    if (modbus_connect(ctx_) != 0) {
        const std::string why = modbus_strerror(errno);
        modbus_free(ctx_);
        throw std::runtime_error("cannot open " + settings.port + ": " + why);
    }
}

RtuLine::~RtuLine() {
    modbus_close(ctx_);
    modbus_free(ctx_);
}

void RtuLine::ReadRegisters(SPModbus& device, int address, int count) {
    pending_ = Request{&device, kReadHolding, address, count, {}};
}

void RtuLine::WriteRegister(SPModbus& device, int address, int value) {
    pending_ = Request{&device, kWriteSingle, address, 1, {static_cast<std::uint16_t>(value)}};
}

void RtuLine::WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) {
    pending_ = Request{&device, kWriteMultiple, address, count,
                       std::vector<std::uint16_t>(values, values + (count > 0 ? count : 0))};
}

Exchange RtuLine::RunPending() {
    const Request request = *pending_;
    pending_.reset();
    modbus_set_slave(ctx_, request.device->SlaveAddress());
    return request.function == kReadHolding ? Read(request) : Write(request);
}

Exchange RtuLine::Failure(const Request& request, const std::string& what) {
    const int error = errno;
    Exchange exchange{Exchange::failed, describe(request.function, request.address, request.count),
                      what + modbus_strerror(error), false};
    if (error == ETIMEDOUT) exchange.outcome = Exchange::timeout;
    if (error == EMBBADCRC) exchange.outcome = Exchange::crc;
    if (error > MODBUS_ENOBASE && error < EMBBADCRC) exchange.outcome = Exchange::exception;
    // Whatever of a broken answer is still on the line would be taken for
    // the next one.
    modbus_flush(ctx_);
    request.device->on_error();
    return exchange;
}

Exchange RtuLine::Read(const Request& request) {
    std::vector<std::uint16_t> registers(static_cast<std::size_t>(request.count > 0 ? request.count : 0));
    const int got = modbus_read_registers(ctx_, request.address, request.count, registers.data());
    if (got < 0) return Failure(request, "");
    HostBinding::DeliverAnswer(*request.device, registers.data(), static_cast<unsigned>(got));
    return {Exchange::answered, describe(request.function, request.address, request.count), "", true};
}

// Writes go out raw so that the meter's echo reaches the device, which
// confirms the write against it: the echoed value for function 6, the
// function code and register count for function 16.
Exchange RtuLine::Write(const Request& request) {
    std::uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
    int length = 0;
    frame[length++] = static_cast<std::uint8_t>(request.device->SlaveAddress());
    frame[length++] = static_cast<std::uint8_t>(request.function);
    put_word(frame + length, request.address);
    length += 2;
    if (request.function == kWriteSingle) {
        put_word(frame + length, request.values.at(0));
        length += 2;
    } else {
        put_word(frame + length, request.count);
        frame[length + 2] = static_cast<std::uint8_t>(2 * request.count);
        length += 3;
        for (std::uint16_t value : request.values) {
            put_word(frame + length, value);
            length += 2;
        }
    }
    if (modbus_send_raw_request(ctx_, frame, length) < 0) return Failure(request, "send: ");
    std::uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
    const int got = modbus_receive_confirmation(ctx_, answer);
    if (got < 0) return Failure(request, "");
    const int function = answer[1];
    std::uint16_t table[2] = {0, 0};
    Exchange exchange{Exchange::answered, describe(request.function, request.address, request.count), "", true};
    if ((function & kExceptionBit) != 0) {
        // The device sees the refusal as an answer that echoes nothing it wrote.
        table[0] = static_cast<std::uint16_t>(function);
        exchange.outcome = Exchange::exception;
        exchange.message = "exception " + std::to_string(answer[2]);
    } else if (function == kWriteSingle) {
        table[0] = word_at(answer + 4);
    } else {
        table[0] = static_cast<std::uint16_t>(function);
        table[1] = word_at(answer + 4);
    }
    HostBinding::DeliverAnswer(*request.device, table, 2);
    return exchange;
}
