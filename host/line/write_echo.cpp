#include "host/line/write_echo.h"

#include <modbus.h>

#include <stdexcept>

namespace {

constexpr int kExceptionBit = 0x80;

void put_word(std::vector<std::uint8_t>& frame, int value) {
    frame.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

int word_at(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

}  // namespace

std::vector<std::uint8_t> write_request(int slave, int address, const std::vector<std::uint16_t>& values,
                                        bool multiple) {
    if (values.empty() || values.size() > MODBUS_MAX_WRITE_REGISTERS || (!multiple && values.size() != 1)) {
        throw std::invalid_argument("a write takes 1 to " + std::to_string(MODBUS_MAX_WRITE_REGISTERS) + " values");
    }
    std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(slave),
                                    static_cast<std::uint8_t>(multiple ? MODBUS_FC_WRITE_MULTIPLE_REGISTERS
                                                                       : MODBUS_FC_WRITE_SINGLE_REGISTER)};
    put_word(frame, address);
    if (!multiple) {
        put_word(frame, values.front());
        return frame;
    }
    put_word(frame, static_cast<int>(values.size()));
    frame.push_back(static_cast<std::uint8_t>(2 * values.size()));
    for (std::uint16_t value : values) put_word(frame, value);
    return frame;
}

EchoCheck check_write_echo(const std::vector<std::uint8_t>& request, const std::uint8_t* answer, int answer_length,
                           EchoFraming framing) {
    // The request is the slave address and the PDU; the answer's PDU
    // follows its header, whose last byte is the slave address.
    const int function = request.at(1);
    const auto h = static_cast<std::size_t>(framing.header_length);
    const int c = framing.checksum_length;
    if (answer_length < framing.header_length + 1 + c) return {EchoCheck::mismatch, 0, "no echo"};
    if (answer[h - 1] != request[0]) {
        return {EchoCheck::mismatch, 0, "echo from slave " + std::to_string(answer[h - 1])};
    }
    const int echoed_function = answer[h];
    if (echoed_function == (function | kExceptionBit) && answer_length == framing.header_length + 2 + c) {
        return {EchoCheck::refused, answer[h + 1], ""};
    }
    if (echoed_function != function) {
        return {EchoCheck::mismatch, 0, "echo of function " + std::to_string(echoed_function)};
    }
    if (answer_length != framing.header_length + 5 + c) return {EchoCheck::mismatch, 0, "echo of the wrong length"};
    if (word_at(answer + h + 1) != word_at(request.data() + 2)) {
        return {EchoCheck::mismatch, 0, "echo of address " + std::to_string(word_at(answer + h + 1))};
    }
    // Function 6 echoes the value written, function 16 the register count.
    if (word_at(answer + h + 3) != word_at(request.data() + 4)) {
        return {EchoCheck::mismatch, 0,
                std::string("echo of ") + (function == MODBUS_FC_WRITE_SINGLE_REGISTER ? "value " : "count ") +
                    std::to_string(word_at(answer + h + 3))};
    }
    return {EchoCheck::confirmed, 0, ""};
}
