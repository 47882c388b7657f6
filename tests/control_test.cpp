// Control requests: writes, the write-status query and the pass-through codes.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

struct Control : QuietTest {

    // The bytes of 16-bit words in native order, at an odd address to prove
    // that unaligned input is read safely.
    const unsigned char* Words(std::initializer_list<std::uint16_t> words) {
        buffer.assign(1, 0xEE);
        for (std::uint16_t w : words) {
            buffer.push_back(static_cast<unsigned char>(w & 0xFF));
            buffer.push_back(static_cast<unsigned char>(w >> 8));
        }
        return buffer.data() + 1;
    }

    QvRig rig;
    std::vector<unsigned char> buffer;
    int written = -7;
};

}  // namespace

TEST(ControlLog, EveryCallLogsItsCodeFirst) {
    QvRig rig;
    int written = 0;
    testing::internal::CaptureStdout();
    rig.Control(999, nullptr, 0, nullptr, 0, written);
    rig.Control(-5, nullptr, 0, nullptr, 0, written);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "QV5810::DeviceIoControl 999\nQV5810::DeviceIoControl -5\n");
}

TEST_F(Control, StatusQueryWritesStatusThenPassesOn) {
    std::array<unsigned char, 4> out{};
    EXPECT_EQ(rig.Control(999, nullptr, 0, out.data(), 4, written), 77);
    EXPECT_EQ(out, (std::array<unsigned char, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(written, 4);
    EXPECT_EQ(rig.sink.base_calls, 1);
    EXPECT_EQ(rig.sink.last_base_code, 999);
}

TEST_F(Control, StatusQueryWithoutRoomWritesNothing) {
    std::array<unsigned char, 4> out{1, 2, 3, 4};
    EXPECT_EQ(rig.Control(5, nullptr, 0, out.data(), 3, written), 77);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(out, (std::array<unsigned char, 4>{1, 2, 3, 4}));
    for (int capacity : {-1, -100000}) {
        written = -7;
        EXPECT_EQ(rig.Control(5, nullptr, 0, out.data(), capacity, written), 77);
        EXPECT_EQ(written, 0);
    }
    written = -7;
    EXPECT_EQ(rig.Control(5, nullptr, 0, nullptr, 4, written), 77);  // null output has no room
    EXPECT_EQ(written, 0);
    EXPECT_EQ(rig.sink.base_calls, 4);
}

TEST_F(Control, WriteOneRegister) {
    rig.sink.Clear();
    EXPECT_EQ(rig.Control(206, Words({0x0100, 0x1234}), 4, nullptr, 0, written), 0);
    const auto requests = rig.transport.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, Request::write_one);
    EXPECT_EQ(requests[0].address, 256);
    EXPECT_EQ(requests[0].values, (std::vector<std::uint16_t>{4660}));
    EXPECT_EQ(HostBinding::PollState(*rig.device), 206);
    EXPECT_EQ(rig.WriteStatus(), -1);
    EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"open", "base"}));  // base: the status query
    EXPECT_EQ(written, -7);
    // Values are unsigned: 0xFFFF is expected back as 65535.
    EXPECT_EQ(rig.Control(206, Words({1, 0xFFFF}), 4, nullptr, 0, written), 0);
    EXPECT_EQ(rig.Answer({0xFFFF}), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
}

TEST_F(Control, WriteRegistersCountsWholeWords) {
    EXPECT_EQ(rig.Control(210, Words({0x0300, 1, 2, 3, 4}), 10, nullptr, 0, written), 0);
    Words({0x0300, 1, 2, 3, 4, 0x00AA});
    EXPECT_EQ(rig.Control(210, buffer.data() + 1, 11, nullptr, 0, written), 0);  // odd byte ignored
    const auto requests = rig.transport.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const Request& r : requests) {
        EXPECT_EQ(r.kind, Request::write_many);
        EXPECT_EQ(r.address, 0x0300);
        EXPECT_EQ(r.values, (std::vector<std::uint16_t>{1, 2, 3, 4}));
    }
    EXPECT_EQ(rig.Answer({16, 4}), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
}

namespace {

// A master that notes where the values it was handed lie.
class PointerNotingLine : public ModbusTransport {
public:
    void ReadRegisters(SPModbus&, int, int) override {}
    void WriteRegister(SPModbus&, int, int) override {}
    void WriteRegisters(SPModbus&, int, int count, const unsigned short* values) override {
        handed = values;
        seen.assign(values, values + count);
    }
    const unsigned short* handed = nullptr;
    std::vector<std::uint16_t> seen;
};

}  // namespace

TEST_F(Control, AlignedValuesAreHandedOverInPlaceMisalignedOnesCopied) {
    PointerNotingLine line;
    rig.binding.transport = &line;
    const std::uint16_t aligned[] = {0x0300, 5, 6, 7};
    ASSERT_EQ(rig.Control(210, aligned, sizeof aligned, nullptr, 0, written), 0);
    EXPECT_EQ(line.handed, aligned + 1);
    const unsigned char* odd = Words({0x0300, 5, 6, 7});
    ASSERT_EQ(rig.Control(210, odd, 8, nullptr, 0, written), 0);
    EXPECT_NE(static_cast<const void*>(line.handed), static_cast<const void*>(odd + 2));
    EXPECT_EQ(line.seen, (std::vector<std::uint16_t>{5, 6, 7}));
}

TEST_F(Control, MalformedWritesAreRefusedBeforeAnyChange) {
    // A confirmed write first, to see that a refusal leaves its outcome.
    ASSERT_EQ(rig.Control(206, Words({1, 7}), 4, nullptr, 0, written), 0);
    rig.Answer({7});
    ASSERT_EQ(rig.WriteStatus(), 1);
    rig.transport.Clear();
    rig.sink.Clear();

    std::vector<unsigned char> huge(2 * 125, 0);  // start address + 124 values
    struct Case { int code; const void* input; int length; } cases[] = {
        {206, nullptr, 4}, {206, Words({1}), 2}, {206, buffer.data(), -4},
        {210, nullptr, 8}, {210, Words({1}), 3}, {210, buffer.data(), -10},
        {210, huge.data(), static_cast<int>(huge.size())},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rig.Control(c.code, c.input, c.length, nullptr, 0, written), -1) << c.code << "/" << c.length;
    }
    EXPECT_TRUE(rig.transport.Requests().empty());
    EXPECT_TRUE(rig.sink.events.empty());
    EXPECT_EQ(HostBinding::PollState(*rig.device), 206);
    EXPECT_EQ(rig.WriteStatus(), 1);
    // 123 values is the most one write may carry.
    std::vector<unsigned char> most(2 * 124, 0);
    EXPECT_EQ(rig.Control(210, most.data(), static_cast<int>(most.size()), nullptr, 0, written), 0);
}

TEST_F(Control, SignalRequestParsesThenPassesOn) {
    const std::string valid[] = {"{}", R"({"signal_id": 12})", "  [1, 2] "};
    for (const std::string& text : valid) {
        EXPECT_EQ(rig.Control(310, text.data(), static_cast<int>(text.size()), nullptr, 0, written), 77) << text;
        EXPECT_EQ(rig.sink.last_base_code, 310);
    }
    // Only the given length counts: the text need not end in a zero.
    const std::string padded = "{}garbage";
    EXPECT_EQ(rig.Control(310, padded.data(), 2, nullptr, 0, written), 77);
}

TEST_F(Control, UnparsableSignalRequestIsRefused) {
    ASSERT_EQ(rig.Control(206, Words({1, 7}), 4, nullptr, 0, written), 0);
    rig.Answer({7});
    ASSERT_EQ(rig.WriteStatus(), 1);
    const std::string deep(100000, '[');
    const std::string invalid[] = {"{", "", "nul", std::string("{\"a\":\"\xff\xfe\"") , deep};
    for (const std::string& text : invalid) {
        rig.sink.Clear();
        EXPECT_EQ(rig.Control(310, text.data(), static_cast<int>(text.size()), nullptr, 0, written), -1);
        EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"open"}));
        EXPECT_EQ(HostBinding::PollState(*rig.device), 310);
        EXPECT_EQ(rig.WriteStatus(), -1);
    }
    EXPECT_EQ(rig.Control(310, nullptr, 10, nullptr, 0, written), -1);
    EXPECT_EQ(rig.Control(310, "{}", -2, nullptr, 0, written), -1);
}

TEST_F(Control, Command320ResetsTheWriteStatus) {
    ASSERT_EQ(rig.Control(206, Words({1, 7}), 4, nullptr, 0, written), 0);
    rig.Answer({7});
    ASSERT_EQ(rig.WriteStatus(), 1);
    rig.sink.Clear();
    EXPECT_EQ(rig.Control(320, nullptr, 0, nullptr, 0, written), 77);
    EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"open", "base"}));
    EXPECT_EQ(HostBinding::PollState(*rig.device), 320);
    EXPECT_EQ(rig.WriteStatus(), -1);
    rig.Answer({16, 1});
    EXPECT_EQ(rig.WriteStatus(), -1);
}

TEST_F(Control, PassedOnRequestsReachTheBaseWithTheirOwnSixArguments) {
    // Odd buffers and sizes included: the base handling sees exactly what the
    // controller passed, not what the device made of it.
    unsigned char out[8] = {};
    const char signal[] = "{}";
    const struct { int code; const void* input; int length; void* output; int capacity; } cases[] = {
        {999, nullptr, 9, out, 8},
        {999, signal, 2, out, 2},        // too small for a status
        {5, signal, -4, out, -3},        // negative sizes
        {-1, nullptr, 0, nullptr, 8},    // room claimed for a null output
        {320, nullptr, 17, out, 8},
        {320, signal, 2, nullptr, -1},
        {310, signal, 2, nullptr, 5},
        {310, signal, 2, out + 1, 7},
    };
    for (const auto& c : cases) {
        rig.sink.Clear();
        int written_here = -9;
        rig.Control(c.code, c.input, c.length, c.output, c.capacity, written_here);
        ASSERT_EQ(rig.sink.base.size(), 1u) << c.code;
        const BaseCall& base = rig.sink.base[0];
        EXPECT_EQ(base.code, c.code);
        EXPECT_EQ(base.input, c.input) << c.code;
        EXPECT_EQ(base.input_length, c.length) << c.code;
        EXPECT_EQ(base.output, c.output) << c.code;
        EXPECT_EQ(base.output_capacity, c.capacity) << c.code;
        EXPECT_EQ(base.written, &written_here) << c.code;
    }
}

namespace {

// A master that has the meter's echo before its write call returns, as one
// answering from the calling thread does.
class AnsweringLine : public ModbusTransport {
public:
    void ReadRegisters(SPModbus&, int, int) override {}
    void WriteRegister(SPModbus& device, int, int value) override {
        const std::uint16_t echo = static_cast<std::uint16_t>(value);
        HostBinding::DeliverAnswer(device, &echo, 1);
    }
    void WriteRegisters(SPModbus& device, int, int count, const unsigned short*) override {
        const std::uint16_t echo[2] = {16, static_cast<std::uint16_t>(count)};
        HostBinding::DeliverAnswer(device, echo, 2);
    }
};

}  // namespace

TEST_F(Control, AWriteAnsweredBeforeTheCallReturnsIsConfirmed) {
    AnsweringLine line;
    rig.binding.transport = &line;
    ASSERT_EQ(rig.Control(206, Words({0x0100, 0x1234}), 4, nullptr, 0, written), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
    ASSERT_EQ(rig.Control(210, Words({0x0200, 1, 2, 3}), 8, nullptr, 0, written), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
    EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"open", "reset", "base", "open", "reset", "base"}));
}
