// The poll cycle and write confirmations of the QV5810 device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

struct PollCycle : QuietTest {
    QvRig rig{0x01020304};
};

bool is_read(const Request& r, int address, int count) {
    return r.kind == Request::read && r.address == address && r.count == count;
}

}  // namespace

TEST_F(PollCycle, FourReadsThenOnePublicationOfTheServedRegisters) {
    oracle::RegisterBank bank;
    bank.FillDistinct(0x1234);
    EXPECT_EQ(rig.device->RefreshStatus(), 1);
    std::vector<int> results;
    for (int step = 0; step < 4; ++step) {
        const Request last = rig.transport.Requests().back();
        const auto block = bank.Block(last.address, last.count);
        results.push_back(HostBinding::DeliverAnswer(*rig.device, block.data(), static_cast<unsigned>(block.size())));
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 0}));
    const auto requests = rig.transport.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_TRUE(is_read(requests[0], 1792, 22));
    EXPECT_TRUE(is_read(requests[1], 1814, 32));
    EXPECT_TRUE(is_read(requests[2], 1846, 16));
    EXPECT_TRUE(is_read(requests[3], 1880, 8));
    ASSERT_EQ(rig.sink.published.size(), 1u);
    const auto& record = rig.sink.published[0].bytes;
    EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4),
              (std::vector<unsigned char>{0, 0, 0, 0}));  // no InitSetting yet
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 4, record.begin() + 160),
              oracle::expected_register_area(bank));
    EXPECT_EQ(rig.sink.history.size(), 1u);
    EXPECT_EQ(rig.sink.events.front(), "poll");
}

TEST_F(PollCycle, FurtherAnswerInTheLastStateFinishesAnotherCycle) {
    oracle::RegisterBank bank;
    bank.FillDistinct(7);
    rig.RunCycle(bank);
    EXPECT_EQ(HostBinding::PollState(*rig.device), 14);
    const auto block4 = bank.Block(1880, 8);
    EXPECT_EQ(HostBinding::DeliverAnswer(*rig.device, block4.data(), 8), 0);
    EXPECT_EQ(rig.sink.published.size(), 2u);
}

TEST_F(PollCycle, RefreshInTheMiddleRestartsAtBlockOne) {
    oracle::RegisterBank first, second;
    first.FillDistinct(100);
    second.FillDistinct(900);
    rig.device->RefreshStatus();
    const auto b1 = first.Block(1792, 22);
    HostBinding::DeliverAnswer(*rig.device, b1.data(), 22);
    EXPECT_EQ(rig.device->RefreshStatus(), 1);
    EXPECT_TRUE(is_read(rig.transport.Requests().back(), 1792, 22));
    rig.answered = rig.transport.Requests().size() - 1;
    EXPECT_EQ(rig.AnswerReads(second), 0);
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(std::vector<unsigned char>(rig.sink.published[0].bytes.begin() + 4,
                                         rig.sink.published[0].bytes.begin() + 160),
              oracle::expected_register_area(second));
}

TEST_F(PollCycle, AnswersInForeignStatesChangeNothing) {
    // A device that has never polled is in state 0.
    EXPECT_EQ(rig.Answer({1, 2, 3}), 1);
    EXPECT_TRUE(rig.sink.events.empty());
    for (int code : {310, 320}) {
        int written = 0;
        rig.Control(code, "{}", 2, nullptr, 0, written);
        rig.sink.Clear();
        const auto requests = rig.transport.Requests().size();
        EXPECT_EQ(rig.Answer({16, 1}), 1) << code;
        EXPECT_EQ(HostBinding::PollState(*rig.device), code);
        EXPECT_EQ(rig.transport.Requests().size(), requests);
        EXPECT_TRUE(rig.sink.events.empty());
        EXPECT_EQ(rig.WriteStatus(), -1);
    }
}

TEST_F(PollCycle, ShortAnswerEndsTheExchangeWithoutPublishing) {
    oracle::RegisterBank bank;
    bank.FillDistinct(3);
    rig.device->RefreshStatus();
    const auto b1 = bank.Block(1792, 22);
    HostBinding::DeliverAnswer(*rig.device, b1.data(), 22);
    const auto partial = bank.Block(1814, 10);
    EXPECT_EQ(HostBinding::DeliverAnswer(*rig.device, partial.data(), 10), 0);
    EXPECT_EQ(rig.sink.events.back(), "reset");
    EXPECT_TRUE(rig.sink.published.empty());
    EXPECT_EQ(rig.transport.Requests().size(), 2u);  // no read of block 3
    // The next cycle starts over and completes.
    EXPECT_EQ(rig.RunCycle(bank), 0);
    EXPECT_EQ(rig.sink.published.size(), 1u);
}

TEST_F(PollCycle, ShortAnswerPrintsOneDiagnosticLine) {
    rig.device->RefreshStatus();
    TakeOutput();
    rig.Answer({1, 2, 3});
    EXPECT_EQ(TakeOutput(), "QV5810 short answer: 3 of 22 registers from 1792\n");
}

TEST_F(PollCycle, SingleRegisterWriteConfirmation) {
    const std::uint16_t write[] = {0x0100, 500};
    int written = 0;
    ASSERT_EQ(rig.Control(206, write, 4, nullptr, 0, written), 0);
    EXPECT_EQ(rig.WriteStatus(), -1);
    EXPECT_EQ(rig.Answer({500}), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
    EXPECT_EQ(HostBinding::PollState(*rig.device), 206);

    ASSERT_EQ(rig.Control(206, write, 4, nullptr, 0, written), 0);
    EXPECT_EQ(rig.Answer({499}), 0);
    EXPECT_EQ(rig.sink.events.back(), "reset");
    EXPECT_EQ(rig.WriteStatus(), 3);
}

TEST_F(PollCycle, MultipleRegisterWriteConfirmation) {
    const std::uint16_t write[] = {0x0200, 1, 2, 3};
    int written = 0;
    struct Case { std::uint16_t function, count; int status; } cases[] = {
        {16, 3, 1}, {16, 2, 3}, {6, 3, 3}};
    for (const auto& c : cases) {
        ASSERT_EQ(rig.Control(210, write, 8, nullptr, 0, written), 0);
        EXPECT_EQ(rig.Answer({c.function, c.count}), 0);
        EXPECT_EQ(rig.WriteStatus(), c.status) << c.function << "," << c.count;
    }
}

TEST_F(PollCycle, CommandDuringACycleEndsIt) {
    oracle::RegisterBank bank;
    rig.device->RefreshStatus();
    const std::uint16_t write[] = {10, 20};
    int written = 0;
    rig.Control(206, write, 4, nullptr, 0, written);
    // The write's echo is not taken for block 1.
    EXPECT_EQ(rig.Answer({20}), 0);
    EXPECT_EQ(rig.WriteStatus(), 1);
    EXPECT_TRUE(rig.sink.published.empty());
}

TEST_F(PollCycle, NewDeviceDefaults) {
    EXPECT_EQ(rig.device->DeviceType(), "qv5810");
    EXPECT_EQ(rig.device->DataId(), 0x01020304u);
    EXPECT_EQ(rig.WriteStatus(), -1);
}
