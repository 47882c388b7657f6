// The value query answers only why no value can be had.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/qv_rig.h"

namespace {

std::string query(const VDeviceInterface& device) {
    try {
        device.Get_Value(1, "any");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "returned";
}

struct ValueQuery : testing::Test {
    void SetUp() override {
        FakeClock::Set(boost::posix_time::time_from_string("2025-06-01 12:00:00"));
        testing::internal::CaptureStdout();
        rig.RunCycle(oracle::RegisterBank{});
        testing::internal::GetCapturedStdout();
    }
    QvRig rig;
};

}  // namespace

TEST(ValueQueryBeforeData, NotReady) {
    QvRig rig;
    EXPECT_EQ(query(*rig.device), "数据未就绪");
}

TEST_F(ValueQuery, FreshUpToSixtySecondsThenTimedOut) {
    EXPECT_EQ(query(*rig.device), "不支持变量");
    FakeClock::Advance(60);
    EXPECT_EQ(query(*rig.device), "不支持变量");
    FakeClock::Advance(1);
    EXPECT_EQ(query(*rig.device), "数据已超时");
    FakeClock::Advance(86400L * 365 * 30);
    EXPECT_EQ(query(*rig.device), "数据已超时");
}

TEST_F(ValueQuery, ClockSetBackCountsAsFresh) {
    FakeClock::Advance(-3600);
    EXPECT_EQ(query(*rig.device), "不支持变量");
}

TEST(ValueQueryDefault, FrameworkDefaultIsAlwaysNotReady) {
    // A device that keeps the framework's Get_Value.
    struct Plain : UniDataDevice<QV5810_Data_t, SPModbus, 1> {
        int process_payload(tab_type, unsigned int) override { return 1; }
    };
    DeviceRig rig(1, new Plain());
    testing::internal::CaptureStdout();
    rig.device->RoundDone();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(query(*rig.device), "数据未就绪");
}

namespace {

// A local time zone eight hours east of UTC for the life of the object, so
// that local time cannot pass for universal time.
struct ZoneEastOfUtc {
    ZoneEastOfUtc() {
        if (const char* tz = std::getenv("TZ")) previous = tz;
        setenv("TZ", "QMX-8", 1);
        tzset();
    }
    ~ZoneEastOfUtc() {
        if (previous) {
            setenv("TZ", previous->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::optional<std::string> previous;
};

}  // namespace

TEST(WallClock, ADeviceLeftOnTheWallClockStampsAndJudgesLocalTime) {
    // Every other test stands in for the clock; this one does not.
    ZoneEastOfUtc zone;
    DeviceRig rig(8, new QV5810());
    const std::vector<unsigned char> cached(167, 0x5A);
    const auto before = boost::posix_time::second_clock::local_time();
    testing::internal::CaptureStdout();
    ASSERT_EQ(rig.device->LoadFromCache(cached.data(), 167), 1);
    testing::internal::GetCapturedStdout();
    const auto after = boost::posix_time::second_clock::local_time();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    const auto& stamp = rig.sink.published[0].bytes;
    const boost::posix_time::ptime stamped(
        boost::gregorian::date(static_cast<unsigned short>(stamp[160] | (stamp[161] << 8)), stamp[162], stamp[163]),
        boost::posix_time::time_duration(stamp[164], stamp[165], stamp[166]));
    EXPECT_LE(before, stamped);
    EXPECT_LE(stamped, after);
    const auto universal = boost::posix_time::second_clock::universal_time();
    EXPECT_GT(stamped - universal, boost::posix_time::hours(7));
    EXPECT_EQ(query(*rig.device), "不支持变量");
}
