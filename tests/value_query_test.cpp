// The value query answers only why no value can be had.
#include <gtest/gtest.h>

#include <string>

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
