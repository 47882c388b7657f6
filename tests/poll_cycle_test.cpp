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
    // One past the last block is no block.
    oracle::RegisterBank bank;
    bank.FillDistinct(9);
    rig.RunCycle(bank);
    rig.sink.Clear();
    HostBinding::SetPollState(*rig.device, 15);
    const auto before = rig.transport.Requests().size();
    EXPECT_EQ(rig.Answer({0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEE, 0xFFFF, 1, 2}), 1);
    EXPECT_EQ(HostBinding::PollState(*rig.device), 15);
    EXPECT_EQ(rig.transport.Requests().size(), before);
    EXPECT_TRUE(rig.sink.events.empty());
    // Nothing of that answer reached the record: a further cycle in state 14
    // from the same bank republishes the same bytes.
    HostBinding::SetPollState(*rig.device, 14);
    const auto block4 = bank.Block(1880, 8);
    HostBinding::DeliverAnswer(*rig.device, block4.data(), 8);
    ASSERT_EQ(rig.sink.published.size(), 1u);
    EXPECT_EQ(std::vector<unsigned char>(rig.sink.published[0].bytes.begin() + 4,
                                         rig.sink.published[0].bytes.begin() + 160),
              oracle::expected_register_area(bank));
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

TEST_F(PollCycle, TheAnswersCountIsNotExamined) {
    // Whatever the controller's master means by its count (registers, bytes
    // or nothing), each block is taken whole from the receive table.
    for (unsigned int (*count_of)(unsigned int) : {+[](unsigned int) { return 0u; },
                                                    +[](unsigned int n) { return 2 * n; },
                                                    +[](unsigned int) { return 1u; }}) {
        QvRig fresh;
        oracle::RegisterBank bank;
        bank.FillDistinct(11);
        fresh.device->RefreshStatus();
        int result = -1;
        for (int step = 0; step < 4; ++step) {
            const Request last = fresh.transport.Requests().back();
            const auto block = bank.Block(last.address, last.count);
            const auto n = static_cast<unsigned int>(block.size());
            result = HostBinding::DeliverAnswerCounting(*fresh.device, block.data(), n, count_of(n));
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(fresh.transport.Requests().size(), 4u);
        ASSERT_EQ(fresh.sink.published.size(), 1u);
        const auto& record = fresh.sink.published[0].bytes;
        EXPECT_EQ(std::vector<unsigned char>(record.begin() + 4, record.begin() + 160),
                  oracle::expected_register_area(bank));
    }
}

TEST_F(PollCycle, AShortAnswerIsCopiedAtTheBlocksFullSize) {
    // The receive table keeps what earlier answers left beyond a short one.
    oracle::RegisterBank bank;
    bank.FillDistinct(5);
    rig.device->RefreshStatus();
    const auto block1 = bank.Block(1792, 22);
    HostBinding::DeliverAnswer(*rig.device, block1.data(), 22);
    const auto partial = bank.Block(1814, 10);
    EXPECT_EQ(HostBinding::DeliverAnswer(*rig.device, partial.data(), 10), 1);
    EXPECT_TRUE(rig.transport.Requests().back().kind == Request::read &&
                rig.transport.Requests().back().address == 1846);
    rig.answered = rig.transport.Requests().size() - 1;
    rig.AnswerReads(bank);
    ASSERT_EQ(rig.sink.published.size(), 1u);
    const auto& record = rig.sink.published[0].bytes;
    auto register_at = [&](int reg) {
        const auto at = static_cast<std::size_t>(oracle::record_offset(reg));
        return static_cast<std::uint16_t>(record[at] | (record[at + 1] << 8));
    };
    for (int i = 0; i < 32; ++i) {
        SCOPED_TRACE(i);
        // Ten new registers, then block 1's leftovers, then the table's zeros.
        const std::uint16_t expected = i < 10 ? partial[static_cast<std::size_t>(i)]
                                       : i < 22 ? block1[static_cast<std::size_t>(i)] : 0;
        EXPECT_EQ(register_at(1814 + i), expected);
    }
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
