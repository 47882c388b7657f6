// Configuration, end of cycle and cache reload of the unified data device.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/qv_rig.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

struct Captured {
    int result;
    std::string out;
};

Captured init_capturing(DeviceRig& rig, const std::string& json) {
    testing::internal::CaptureStdout();
    const int result = rig.InitSetting(json);
    return {result, testing::internal::GetCapturedStdout()};
}

std::vector<unsigned char> cache_record(std::uint32_t dev_id) {
    std::vector<unsigned char> bytes(167);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 3 + 1);
    std::memcpy(bytes.data(), &dev_id, 4);
    return bytes;
}

}  // namespace

TEST(InitSetting, ReadsModeAndLogsIt) {
    QvRig rig(7);
    const auto run = init_capturing(rig, R"({"appSetting": {"b_mode": 2}})");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, "InitSetting 7 b_mode_:2\n");
}

TEST(InitSetting, ModeFromTextNumberOrGarbage) {
    struct Case { const char* json; std::string line; } cases[] = {
        {R"({"appSetting": {"b_mode": "3"}})", "InitSetting 1 b_mode_:3\nhere 1\n"},
        {R"({"appSetting": {"b_mode": " 3xyz"}})", "InitSetting 1 b_mode_:3\nhere 1\n"},
        {R"({"appSetting": {"b_mode": "abc"}})", "InitSetting 1 b_mode_:0\n"},
        {R"({"appSetting": {"b_mode": "-4"}})", "InitSetting 1 b_mode_:-4\n"},
        // Digits beyond int saturate rather than overflow.
        {R"({"appSetting": {"b_mode": "99999999999999999999"}})", "InitSetting 1 b_mode_:2147483647\n"},
        {R"({"appSetting": {"b_mode": "-99999999999"}})", "InitSetting 1 b_mode_:-2147483648\n"},
    };
    for (const auto& c : cases) {
        QvRig rig(1);
        EXPECT_EQ(init_capturing(rig, c.json).out, c.line) << c.json;
    }
}

TEST(InitSetting, WithoutUsableAppSettingKeepsMode) {
    for (const char* json : {R"({})", R"({"appSetting": "x"})", R"({"appSetting": {"b_mode": null}})",
                             R"([1, 2])", R"("text")"}) {
        QvRig rig(1);
        EXPECT_EQ(init_capturing(rig, json).out, "") << json;
        // Still mode 1: a cycle reports no alarm even with an enabled rule.
        HostBinding::SetThreshold(*rig.device, "110200010010", 1, 0.0f);
        oracle::RegisterBank bank;
        bank.SetPair(oracle::kPhaseVoltage1, 2300);
        testing::internal::CaptureStdout();
        rig.RunCycle(bank);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(rig.sink.alarms.empty()) << json;
    }
}

TEST(InitSetting, ThresholdRulesInModeThree) {
    QvRig rig(9);
    HostBinding::SetThreshold(*rig.device, "110200010010", 2, 250.5f);
    const auto run = init_capturing(rig, R"({
        "appSetting": {"b_mode": 3},
        "thresholdSetting": {
            "110200010010": {"SignalName": "Ua high", "NMAlarmID": "A1", "ID": 17, "SignalNumber": "3"},
            "110200020010": {"SignalName": "only a name"},
            "110200030010": 5
        }})");
    EXPECT_EQ(run.out,
              "InitSetting 9 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here 110200010010\n"
              "mobile:110200010010:A1;17;3; level:2 value:250.5\n"
              "here 110200020010\n"
              "9 NMAlarmID is missing\n"
              "9 ID is missing\n"
              "9 SignalNumber is missing\n"
              "mobile:110200020010:;;; level:0 value:0\n"
              "here 110200030010\n");
    // Lookups for the log line insert what the controller lacked; a rule
    // that is no object adds nothing.
    EXPECT_EQ(HostBinding::Levels(*rig.device).count("110200020010"), 1u);
    EXPECT_EQ(HostBinding::Values(*rig.device).count("110200020010"), 1u);
    EXPECT_EQ(HostBinding::Levels(*rig.device).count("110200030010"), 0u);
}

TEST(InitSetting, ModeThreeWithoutThresholdSetting) {
    QvRig rig(1);
    EXPECT_EQ(init_capturing(rig, R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": null})").out,
              "InitSetting 1 b_mode_:3\nhere 1\n");
}

TEST(InitSetting, ThresholdSettingIgnoredOutsideModeThree) {
    QvRig rig(1);
    EXPECT_EQ(init_capturing(rig, R"({"thresholdSetting": {"110200010010": {}}})").out, "");
}

TEST(InitSetting, CopiesDeviceIdAndReturnsTheBaseResult) {
    QvRig rig(0xA1B2C3D4);
    // The controller's own reader refuses a slave address out of range.
    EXPECT_EQ(init_capturing(rig, R"({"modbus": {"slave": 999}})").result, 0);
    testing::internal::CaptureStdout();
    rig.RunCycle(oracle::RegisterBank{});
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    const std::vector<unsigned char> id(rig.sink.published[0].bytes.begin(),
                                        rig.sink.published[0].bytes.begin() + 4);
    EXPECT_EQ(id, (std::vector<unsigned char>{0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST(RoundDone, EffectsInOrderAndStampedRecord) {
    QvRig rig(3);
    FakeClock::Set(time_from_string("2024-03-05 07:04:09"));
    rig.sink.batch_result = true;
    testing::internal::CaptureStdout();
    rig.device->RoundDone();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
    EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"publish", "reset", "batch", "history"}));
    ASSERT_EQ(rig.sink.published.size(), 1u);
    const auto& record = rig.sink.published[0].bytes;
    EXPECT_EQ(rig.sink.published[0].data_id, 5156u);
    EXPECT_FALSE(rig.sink.published[0].delayed);
    ASSERT_EQ(record.size(), 167u);
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 160, record.end()),
              (std::vector<unsigned char>{0xE8, 0x07, 3, 5, 7, 4, 9}));
    EXPECT_EQ(rig.sink.history.at(0), record);
    EXPECT_EQ(HostBinding::CommStatus(*rig.device), 1);
    EXPECT_TRUE(HostBinding::AlarmActive(*rig.device));
    EXPECT_EQ(HostBinding::LastUpdate(*rig.device), time_from_string("2024-03-05 07:04:09"));
}

TEST(LoadFromCache, RefusesWrongLengthsAndNull) {
    QvRig rig(3);
    const auto bytes = cache_record(3);
    const std::vector<unsigned char> longer(168, 1);
    EXPECT_EQ(rig.device->LoadFromCache(bytes.data(), 166), 0);
    EXPECT_EQ(rig.device->LoadFromCache(longer.data(), 168), 0);
    EXPECT_EQ(rig.device->LoadFromCache(nullptr, 167), 0);
    EXPECT_EQ(rig.device->LoadFromCache(bytes.data(), -1), 0);
    EXPECT_EQ(rig.device->LoadFromCache(std::string(166, 'x')), 0);
    EXPECT_TRUE(rig.sink.events.empty());
    EXPECT_THROW(
        try { rig.device->Get_Value(0, ""); } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
            throw;
        },
        std::out_of_range);
}

TEST(LoadFromCache, TakesTheRecordAndRestampsIt) {
    QvRig rig(3);
    FakeClock::Set(time_from_string("2026-12-08 10:20:30"));
    const auto bytes = cache_record(0x55667788);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.device->LoadFromCache(std::string(bytes.begin(), bytes.end())), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.sink.published.size(), 1u);
    ASSERT_EQ(rig.sink.history.size(), 1u);
    const auto& record = rig.sink.published[0].bytes;
    // Everything but the stamp as cached, the cached device id included.
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 160, record.begin()));
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 160, record.end()),
              (std::vector<unsigned char>{0xEA, 0x07, 12, 8, 10, 20, 30}));
}

namespace {

// A controller that notes, at its batch check, what the device had written
// to standard output by then.
struct PeekingController : RecordingSink {
    bool BatchChecked(const QMXVDevice& device, const std::vector<rule_value>& rules) override {
        said_before_batch = said->str();
        return RecordingSink::BatchChecked(device, rules);
    }
    const std::ostringstream* said = nullptr;
    std::string said_before_batch;
};

// Sends std::cout to a string for the life of the object.
struct CoutToString {
    CoutToString() : previous(std::cout.rdbuf(text.rdbuf())) {}
    ~CoutToString() { std::cout.rdbuf(previous); }
    std::ostringstream text;
    std::streambuf* previous;
};

}  // namespace

TEST(RoundDone, TellsTheRuleCountBeforeTheBatchCheck) {
    QvRig rig(3);
    CoutToString out;
    PeekingController peeking;
    peeking.said = &out.text;
    rig.binding.sink = &peeking;
    rig.InitSetting(R"({"appSetting": {"b_mode": 2}})");
    for (const char* key : {"110200010010", "110200060010", "110200160010"}) {
        HostBinding::SetThreshold(*rig.device, key, 1, 100.0f);
    }
    rig.RunCycle(oracle::RegisterBank{});
    EXPECT_EQ(peeking.batch_sizes, (std::vector<std::size_t>{3}));
    EXPECT_EQ(peeking.said_before_batch, "InitSetting 3 b_mode_:2\nrvSize is 3\n");
    EXPECT_EQ(out.text.str(), peeking.said_before_batch);
}

TEST(InitSetting, ThresholdLineIgnoresTheProcessLocale) {
    // A controller may set a global locale that groups digits and uses a
    // decimal comma; the device's lines stay as the plain stream prints them.
    struct GroupingPunctuation : std::numpunct<char> {
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
        char do_decimal_point() const override { return ','; }
    };
    QvRig rig(9);
    HostBinding::SetThreshold(*rig.device, "110200010010", 1234567, 250.5f);
    struct GlobalLocale {
        explicit GlobalLocale(const std::locale& locale) : previous(std::locale::global(locale)) {}
        ~GlobalLocale() { std::locale::global(previous); }
        std::locale previous;
    };
    Captured run{};
    {
        GlobalLocale grouping(std::locale(std::locale::classic(), new GroupingPunctuation));
        run = init_capturing(rig, R"({"appSetting": {"b_mode": 3},
            "thresholdSetting": {"110200010010": {"NMAlarmID": "A1", "ID": "2", "SignalNumber": "3"}}})");
    }
    EXPECT_NE(run.out.find("mobile:110200010010:A1;2;3; level:1234567 value:250.5\n"), std::string::npos)
        << run.out;
}
