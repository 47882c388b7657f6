// The echo of a register write, framed as each backend frames it: a
// confirmation only when slave, function, address and value or count agree.
#include <gtest/gtest.h>

#include <vector>

#include "host/line/write_echo.h"

namespace {

// Function 6 to slave 5: register 0x0100 := 0x1234.
const std::vector<std::uint8_t> kWrite{5, 6, 0x01, 0x00, 0x12, 0x34};

constexpr EchoFraming kRtu{1, 2};
constexpr EchoFraming kTcp{7, 0};

// The answer as it arrives: the RTU slave address and CRC, or the MBAP
// header (transaction 0x0042, protocol 0, length, unit) around the PDU.
std::vector<std::uint8_t> framed(EchoFraming framing, std::uint8_t unit, std::vector<std::uint8_t> pdu) {
    std::vector<std::uint8_t> frame;
    if (framing.header_length == 7) {
        const auto length = static_cast<std::uint8_t>(pdu.size() + 1);
        frame = {0x00, 0x42, 0x00, 0x00, 0x00, length, unit};
    } else {
        frame = {unit};
    }
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    for (int i = 0; i < framing.checksum_length; ++i) frame.push_back(0xA5);
    return frame;
}

EchoCheck check(EchoFraming framing, const std::vector<std::uint8_t>& answer) {
    return check_write_echo(kWrite, answer.data(), static_cast<int>(answer.size()), framing);
}

}  // namespace

TEST(WriteEchoFraming, TheSameEchoConfirmsOnTheSerialLineAndOverTcp) {
    for (EchoFraming framing : {kRtu, kTcp}) {
        EXPECT_EQ(check(framing, framed(framing, 5, {6, 0x01, 0x00, 0x12, 0x34})).kind, EchoCheck::confirmed)
            << framing.header_length;
    }
}

TEST(WriteEchoFraming, AnEchoOfAnotherUnitOrValueIsNoConfirmation) {
    for (EchoFraming framing : {kRtu, kTcp}) {
        EXPECT_EQ(check(framing, framed(framing, 6, {6, 0x01, 0x00, 0x12, 0x34})).kind, EchoCheck::mismatch);
        EXPECT_EQ(check(framing, framed(framing, 5, {6, 0x01, 0x00, 0x12, 0x35})).kind, EchoCheck::mismatch);
        EXPECT_EQ(check(framing, framed(framing, 5, {6, 0x01, 0x01, 0x12, 0x34})).kind, EchoCheck::mismatch);
    }
}

TEST(WriteEchoFraming, AnExceptionIsARefusalWithItsCode) {
    for (EchoFraming framing : {kRtu, kTcp}) {
        const EchoCheck refused = check(framing, framed(framing, 5, {0x86, 0x02}));
        EXPECT_EQ(refused.kind, EchoCheck::refused) << framing.header_length;
        EXPECT_EQ(refused.exception_code, 2);
    }
}
