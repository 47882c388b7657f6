// The JSON snapshot: commands 801 (text) and 803 (handle).
#include <gtest/gtest.h>

#include <json/value.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/snapshot.h"
#include "tests/support/json_text.h"
#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

using boost::posix_time::time_from_string;

struct Snapshot : QuietTest {
    void SetUp() override {
        QuietTest::SetUp();
        FakeClock::Set(time_from_string("2024-03-05 07:04:09"));
    }

    std::string Text(int capacity = 4096, int* result = nullptr) {
        std::vector<char> out(static_cast<std::size_t>(capacity > 0 ? capacity : 0));
        written = -7;
        const int r = rig.Control(801, nullptr, 0, out.data(), capacity, written);
        if (result != nullptr) *result = r;
        return r == 0 ? std::string(out.data(), static_cast<std::size_t>(written)) : std::string();
    }

    const Json::Value* Handle() {
        const Json::Value* handle = nullptr;
        EXPECT_EQ(rig.Control(803, nullptr, 0, &handle, sizeof handle, written), 0);
        EXPECT_EQ(written, static_cast<int>(sizeof handle));
        return handle;
    }

    static Json::Value Parse(const std::string& text) {
        const auto value = parse_json(text);
        EXPECT_TRUE(value.has_value()) << text;
        return value.value_or(Json::Value());
    }

    QvRig rig;
    oracle::RegisterBank bank;
    int written = -7;
};

}  // namespace

TEST_F(Snapshot, NullBeforeTheFirstCycle) {
    EXPECT_EQ(Text(), "null\n");
    EXPECT_TRUE(Handle()->isNull());
}

TEST_F(Snapshot, EveryQuantityAsAWholeNumberAndTheTimeText) {
    bank.FillDistinct(0x7F00);
    bank.SetPair(1840, 985);                 // power factor 0
    bank.SetPair(1812, 4999);                // frequency 49
    bank.SetPair(1806, 2309);                // 230
    bank.SetPair(1792, -1500);               // -1
    bank.Set(1814, 0x0000);
    bank.Set(1815, 0x9C40);                  // total active power 40
    bank.Set(1880, 0x8000);
    bank.Set(1881, 0x0000);                  // energy -2147483648
    rig.RunCycle(bank);
    const Json::Value snapshot = Parse(Text());
    ASSERT_TRUE(snapshot.isObject());
    EXPECT_EQ(snapshot.size(), 39u);
    for (const auto& member : oracle::snapshot_members()) {
        SCOPED_TRACE(member.name);
        ASSERT_TRUE(snapshot.isMember(member.name));
        EXPECT_TRUE(snapshot[member.name].isInt());
        EXPECT_EQ(snapshot[member.name].asInt(), oracle::scaled(bank, member.high_register, member.divisor));
    }
    EXPECT_EQ(snapshot["1相功率因数"].asInt(), 0);
    EXPECT_EQ(snapshot["频率"].asInt(), 49);
    EXPECT_EQ(snapshot["相电压1"].asInt(), 230);
    EXPECT_EQ(snapshot["第1相电流"].asInt(), -1);
    EXPECT_EQ(snapshot["总有功"].asInt(), 40);
    EXPECT_EQ(snapshot["有功电能+"].asInt(), -2147483647 - 1);
    EXPECT_EQ(snapshot["更新时间"].asString(), "2024-3-5 7:4:9");
}

TEST_F(Snapshot, CachedTextIsExactlyTheWritersTextOfTheObject) {
    bank.FillDistinct(11);
    rig.RunCycle(bank);
    const std::string text = Text();
    EXPECT_EQ(text, compact_json(*Handle()));
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(Text(), text);
}

TEST_F(Snapshot, RebuiltOnlyWhenTheCycleTimeChanges) {
    bank.SetPair(1806, 2300);
    rig.RunCycle(bank);
    EXPECT_EQ(Parse(Text())["相电压1"].asInt(), 230);
    // A second cycle in the same second keeps the snapshot.
    bank.SetPair(1806, 2400);
    rig.RunCycle(bank);
    EXPECT_EQ(Parse(Text())["相电压1"].asInt(), 230);
    // The next cycle whose time differs brings the latest values.
    FakeClock::Advance(1);
    rig.RunCycle(bank);
    EXPECT_EQ(Parse(Text())["相电压1"].asInt(), 240);
    // A clock set back is a change too.
    bank.SetPair(1806, 2100);
    FakeClock::Advance(-3600);
    rig.RunCycle(bank);
    EXPECT_EQ(Parse(Text())["相电压1"].asInt(), 210);
}

TEST_F(Snapshot, SnapshotHoldsTheLastCompletedCycleNotOneInProgress) {
    bank.FillDistinct(1);
    rig.RunCycle(bank);
    oracle::RegisterBank next;
    next.FillDistinct(5000);
    FakeClock::Advance(5);
    // Blocks 1 and 2 of a new cycle arrive, then a snapshot is asked for.
    rig.device->RefreshStatus();
    for (int i = 0; i < 2; ++i) {
        const Request r = rig.transport.Requests().back();
        const auto block = next.Block(r.address, r.count);
        HostBinding::DeliverAnswer(*rig.device, block.data(), static_cast<unsigned>(block.size()));
    }
    const Json::Value snapshot = Parse(Text());
    for (const auto& member : oracle::snapshot_members()) {
        EXPECT_EQ(snapshot[member.name].asInt(), oracle::scaled(bank, member.high_register, member.divisor))
            << member.name;
    }
}

TEST_F(Snapshot, TextCapacityEdges) {
    rig.RunCycle(bank);
    const std::string text = Text();
    const int length = static_cast<int>(text.size());
    int result = 0;
    EXPECT_EQ(Text(length, &result), text);
    EXPECT_EQ(result, 0);
    std::vector<char> out(static_cast<std::size_t>(length), 'Z');
    EXPECT_EQ(rig.Control(801, nullptr, 0, out.data(), length - 1, written), -1);
    EXPECT_EQ(written, length);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(static_cast<std::size_t>(length), 'Z'));
    EXPECT_EQ(rig.Control(801, nullptr, 0, nullptr, length, written), -1);  // null output has no room
    EXPECT_EQ(rig.Control(801, nullptr, 0, out.data(), -1, written), -1);
    EXPECT_EQ(written, length);
}

TEST_F(Snapshot, RefusedRequestHasStillRefreshed) {
    bank.SetPair(1806, 2300);
    rig.RunCycle(bank);
    char tiny[1];
    EXPECT_EQ(rig.Control(801, nullptr, 0, tiny, 1, written), -1);
    EXPECT_EQ(Handle()->operator[]("相电压1").asInt(), 230);
}

TEST_F(Snapshot, HandleCapacityEdges) {
    const int size = static_cast<int>(sizeof(Json::Value*));
    std::vector<unsigned char> out(static_cast<std::size_t>(size), 0xAB);
    EXPECT_EQ(rig.Control(803, nullptr, 0, out.data(), size - 1, written), -1);
    EXPECT_EQ(written, size);
    EXPECT_EQ(out, std::vector<unsigned char>(static_cast<std::size_t>(size), 0xAB));
    EXPECT_EQ(rig.Control(803, nullptr, 0, out.data(), size, written), 0);
    EXPECT_EQ(written, size);
    // The same object for the device's whole life, rebuilt in place.
    const Json::Value* before = Handle();
    rig.RunCycle(bank);
    EXPECT_EQ(Handle(), before);
    EXPECT_TRUE(before->isObject());
#if defined(__arm__)
    EXPECT_EQ(size, 4);  // the controller's handle
#endif
}

TEST(SnapshotBuild, AZeroRecordGivesEveryMemberAsZeroAndYearZero) {
    QV5810_Data_t record;
    std::memset(&record, 0, sizeof record);
    Json::Value snapshot;
    build_snapshot(record, snapshot);
    const auto& members = oracle::snapshot_members();
    ASSERT_EQ(snapshot.size(), members.size() + 1);
    for (const auto& member : members) {
        EXPECT_TRUE(snapshot[member.name].isInt()) << member.name;
        EXPECT_EQ(snapshot[member.name].asInt(), 0) << member.name;
    }
    EXPECT_EQ(snapshot["更新时间"].asString(), "0-0-0 0:0:0");
}
