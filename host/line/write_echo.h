// Register writes as raw frames, and the check of the meter's echo that
// libmodbus's own confirmation makes (slave, function, then address and
// value or count), so that a frame of another slave or of another request
// is never taken for the echo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The slave address and the PDU (libmodbus frames them for its backend):
// function 6 for one value, function 16 for several. At most
// MODBUS_MAX_WRITE_REGISTERS values.
std::vector<std::uint8_t> write_request(int slave, int address, const std::vector<std::uint16_t>& values,
                                        bool multiple);

struct EchoCheck {
    enum Kind { confirmed, refused, mismatch } kind;
    int exception_code = 0;  // refused: the meter's exception code
    std::string why;         // mismatch: what differs, for people
};

// Around the PDU of an answer: the header, which ends in the slave address
// (RTU: the address alone; TCP: the MBAP header with the unit id), and the
// checksum (RTU: the CRC; TCP: none).
struct EchoFraming {
    int header_length;
    int checksum_length;
};

// `request` from write_request; `answer` and `answer_length` as
// modbus_receive_confirmation left them.
EchoCheck check_write_echo(const std::vector<std::uint8_t>& request, const std::uint8_t* answer, int answer_length,
                           EchoFraming framing);
