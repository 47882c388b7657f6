// Threshold alarm evaluation over a completed cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "alarms/alarm_evaluation.h"
#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

struct Alarms : QuietTest {
    void SetUp() override {
        QuietTest::SetUp();
        rig.InitSetting(R"({"appSetting": {"b_mode": 2}})");
    }

    void EnableAll(int level, float threshold) {
        for (const auto& rule : oracle::rules()) HostBinding::SetThreshold(*rig.device, rule.key, level, threshold);
    }

    QvRig rig;
    oracle::RegisterBank bank;
};

}  // namespace

TEST_F(Alarms, AllRulesReportedInTableOrderWithTheirArguments) {
    bank.SetPair(oracle::kPhaseVoltage1, 2309);   // 230
    bank.SetPair(oracle::kPhaseVoltage2, 2404);   // 240
    bank.SetPair(oracle::kPhaseVoltage3, -25);    // -2
    bank.SetPair(oracle::kLineU12, 3999);         // 399
    bank.SetPair(oracle::kLineU23, 4000);         // 400
    bank.SetPair(oracle::kLineU31, 4011);         // 401
    bank.SetPair(oracle::kCurrent1, 999);         // 0
    bank.SetPair(oracle::kCurrent2, 1999);        // 1
    bank.SetPair(oracle::kCurrent3, -1999);       // -1
    for (std::size_t i = 0; i < oracle::rules().size(); ++i) {
        const auto& rule = oracle::rules()[i];
        const float threshold = rule.divisor == 10 ? 235.0f + (rule.high_register == oracle::kLineU12 ? 165.0f : 0.0f)
                                                   : 0.0f;
        HostBinding::SetThreshold(*rig.device, rule.key, static_cast<int>(i) - 5, threshold);
    }
    // Level 0 for rule 6 (index 5): skipped.
    rig.RunCycle(bank);
    ASSERT_EQ(rig.sink.alarms.size(), 26u);
    std::size_t reported = 0;
    for (std::size_t i = 0; i < oracle::rules().size(); ++i) {
        if (i == 5) continue;
        const auto& rule = oracle::rules()[i];
        const AlarmReport& report = rig.sink.alarms[reported++];
        SCOPED_TRACE(rule.key);
        const std::int32_t value = oracle::scaled(bank, rule.high_register, rule.divisor);
        const float threshold = HostBinding::Values(*rig.device).at(rule.key);
        EXPECT_EQ(report.level, static_cast<int>(i) - 5);
        EXPECT_EQ(report.alarm_key, rule.key);
        EXPECT_EQ(report.signal_key, rule.key);
        EXPECT_EQ(report.alarm_text, rule.text);
        EXPECT_EQ(report.value_text, oracle::value_text(value));
        EXPECT_EQ(report.state, rule.high ? static_cast<float>(value) > threshold
                                          : static_cast<float>(value) < threshold);
        EXPECT_EQ(report.count, 1);
    }
    // The alarms came between publication and the batch check.
    const auto& events = rig.sink.events;
    const auto first_alarm = std::find(events.begin(), events.end(), "alarm");
    EXPECT_EQ(*(first_alarm - 1), "reset");
    EXPECT_EQ(events[events.size() - 2], "batch");
    EXPECT_EQ(rig.sink.batch_sizes.back(), 26u);
}

TEST_F(Alarms, StrictComparisonsAtTheThreshold) {
    bank.SetPair(oracle::kPhaseVoltage1, 2309);  // 230
    HostBinding::SetThreshold(*rig.device, "110200010010", 1, 230.0f);
    HostBinding::SetThreshold(*rig.device, "110200020010", 1, 230.0f);
    rig.RunCycle(bank);
    ASSERT_EQ(rig.sink.alarms.size(), 2u);
    EXPECT_FALSE(rig.sink.alarms[0].state);
    EXPECT_FALSE(rig.sink.alarms[1].state);
    EXPECT_EQ(rig.sink.alarms[0].value_text, "230");

    rig.sink.Clear();
    HostBinding::SetThreshold(*rig.device, "110200020010", 1, 230.5f);
    rig.RunCycle(bank);
    EXPECT_TRUE(rig.sink.alarms.at(1).state);
    EXPECT_TRUE(HostBinding::AlarmActive(*rig.device));
}

TEST_F(Alarms, NanThresholdNeverTrips) {
    bank.SetPair(oracle::kCurrent1, 50000);
    HostBinding::SetThreshold(*rig.device, "110200160010", 1, std::numeric_limits<float>::quiet_NaN());
    rig.RunCycle(bank);
    ASSERT_EQ(rig.sink.alarms.size(), 1u);
    EXPECT_FALSE(rig.sink.alarms[0].state);
}

TEST_F(Alarms, ForeignHostKeysAroundTheRuleKeysAreLeftAlone) {
    // Keys of the host's own before, between and after the rules' keys.
    const char* foreign[] = {"000000000000", "110200050010", "110200150010", "110200210010", "999999999999"};
    for (const char* key : foreign) HostBinding::SetThreshold(*rig.device, key, 5, 1.0f);
    HostBinding::SetThreshold(*rig.device, "110200250010", 3, 500.0f);  // Uab low, between two foreign keys
    HostBinding::SetLevel(*rig.device, "110200200010", 1);              // Ic over-current, no threshold yet
    bank.SetPair(oracle::kLineU12, 4000);
    bank.SetPair(oracle::kCurrent3, 2500);
    rig.RunCycle(bank);
    ASSERT_EQ(rig.sink.alarms.size(), 2u);
    EXPECT_EQ(rig.sink.alarms[0].alarm_key, "110200250010");
    EXPECT_EQ(rig.sink.alarms[0].level, 3);
    EXPECT_TRUE(rig.sink.alarms[0].state);  // 400 < 500
    EXPECT_EQ(rig.sink.alarms[1].alarm_key, "110200200010");
    EXPECT_TRUE(rig.sink.alarms[1].state);  // 2 > 0.0
    const auto& levels = HostBinding::Levels(*rig.device);
    EXPECT_EQ(levels.size(), 27u + 5u);
    for (const char* key : foreign) EXPECT_EQ(levels.at(key), 5);
    EXPECT_EQ(HostBinding::Values(*rig.device).size(), 5u + 2u);
}

TEST_F(Alarms, EmptyMapsReportNothingButLearnAllKeys) {
    rig.RunCycle(bank);
    EXPECT_TRUE(rig.sink.alarms.empty());
    const auto& levels = HostBinding::Levels(*rig.device);
    EXPECT_EQ(levels.size(), 27u);
    for (const auto& rule : oracle::rules()) EXPECT_EQ(levels.at(rule.key), 0);
    EXPECT_TRUE(HostBinding::Values(*rig.device).empty());
}

TEST_F(Alarms, MissingThresholdComparesAgainstZero) {
    bank.SetPair(oracle::kCurrent1, 1999);  // 1: over-current against 0.0
    bank.SetPair(oracle::kCurrent2, 999);   // 0: not over
    HostBinding::SetLevel(*rig.device, "110200160010", 1);
    HostBinding::SetLevel(*rig.device, "110200180010", -1);
    rig.RunCycle(bank);
    ASSERT_EQ(rig.sink.alarms.size(), 2u);
    EXPECT_TRUE(rig.sink.alarms[0].state);
    EXPECT_FALSE(rig.sink.alarms[1].state);
    EXPECT_EQ(rig.sink.alarms[1].level, -1);
    EXPECT_EQ(HostBinding::Values(*rig.device).at("110200180010"), 0.0f);
    EXPECT_EQ(HostBinding::Values(*rig.device).size(), 2u);
}

TEST_F(Alarms, OnlyModeTwoEvaluates) {
    for (const char* mode : {"1", "3", "0"}) {
        QvRig other;
        other.InitSetting(std::string(R"({"appSetting": {"b_mode": )") + mode + "}}");
        HostBinding::SetThreshold(*other.device, "110200010010", 1, 0.0f);
        other.RunCycle(bank);
        EXPECT_TRUE(other.sink.alarms.empty()) << mode;
        EXPECT_EQ(HostBinding::Levels(*other.device).size(), 1u);
        EXPECT_EQ(HostBinding::Values(*other.device).size(), 1u);
        EXPECT_EQ(other.sink.batch_sizes.size(), 1u);  // the batch check runs in every mode
    }
}

TEST_F(Alarms, CachedRecordIsJudgedLikeAPolledOne) {
    EnableAll(1, 235.0f);
    bank.SetPair(oracle::kPhaseVoltage1, 2400);
    bank.SetPair(oracle::kLineU23, 1000);
    rig.RunCycle(bank);
    const auto polled = rig.sink.alarms;
    const auto record = rig.sink.history.at(0);
    QvRig reloaded;
    reloaded.InitSetting(R"({"appSetting": {"b_mode": 2}})");
    for (const auto& rule : oracle::rules()) HostBinding::SetThreshold(*reloaded.device, rule.key, 1, 235.0f);
    ASSERT_EQ(reloaded.device->LoadFromCache(record.data(), static_cast<int>(record.size())), 1);
    ASSERT_EQ(reloaded.sink.alarms.size(), polled.size());
    for (std::size_t i = 0; i < polled.size(); ++i) {
        EXPECT_EQ(reloaded.sink.alarms[i].alarm_key, polled[i].alarm_key);
        EXPECT_EQ(reloaded.sink.alarms[i].value_text, polled[i].value_text);
        EXPECT_EQ(reloaded.sink.alarms[i].state, polled[i].state);
    }
}

namespace {

// A controller whose report of the first rule fails.
struct FailingController : RecordingSink {
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override {
        RecordingSink::AlarmReported(device, call);
        throw std::runtime_error("controller refused the report");
    }
};

// A controller that, when told of one rule, changes its maps for others.
struct EditingController : RecordingSink {
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override {
        RecordingSink::AlarmReported(device, call);
        if (call.alarm_key != "110200010010") return;
        HostBinding::SetThreshold(*editable, "110200020010", 7, 500.0f);  // enable A low
        HostBinding::SetLevel(*editable, "110200030010", 0);              // disable A very high
    }
    SPModbus* editable = nullptr;
};

}  // namespace

TEST_F(Alarms, AReportThatThrowsEndsTheRulesWhereItStood) {
    FailingController failing;
    rig.binding.sink = &failing;
    HostBinding::SetLevel(*rig.device, "110200030010", 4);  // rule 3 enabled, no threshold
    HostBinding::SetThreshold(*rig.device, "110200250010", 2, 1.0f);
    bank.SetPair(oracle::kPhaseVoltage1, 2300);
    EXPECT_THROW(rig.RunCycle(bank), std::runtime_error);
    ASSERT_EQ(failing.alarms.size(), 1u);
    EXPECT_EQ(failing.alarms[0].alarm_key, "110200030010");
    // Rules 1 to 3 looked their levels up, rule 3 its threshold; none after.
    const auto& levels = HostBinding::Levels(*rig.device);
    EXPECT_EQ(levels.size(), 4u);
    for (const char* key : {"110200010010", "110200020010", "110200030010", "110200250010"}) {
        EXPECT_EQ(levels.count(key), 1u) << key;
    }
    const auto& values = HostBinding::Values(*rig.device);
    EXPECT_EQ(values.size(), 2u);
    EXPECT_EQ(values.at("110200030010"), 0.0f);
    // The exception left the end of the cycle: no batch check, no history.
    EXPECT_EQ(failing.events.back(), "alarm");
    EXPECT_TRUE(failing.history.empty());
}

TEST_F(Alarms, EachRuleSeesTheMapsAsTheReportsBeforeItLeftThem) {
    EditingController editing;
    editing.editable = rig.device.get();
    rig.binding.sink = &editing;
    HostBinding::SetThreshold(*rig.device, "110200010010", 1, 200.0f);
    HostBinding::SetThreshold(*rig.device, "110200030010", 3, 260.0f);
    bank.SetPair(oracle::kPhaseVoltage1, 2300);  // 230
    rig.RunCycle(bank);
    ASSERT_EQ(editing.alarms.size(), 2u);
    EXPECT_EQ(editing.alarms[0].alarm_key, "110200010010");
    EXPECT_EQ(editing.alarms[1].alarm_key, "110200020010");
    EXPECT_EQ(editing.alarms[1].level, 7);
    EXPECT_TRUE(editing.alarms[1].state);  // 230 < 500, the threshold set a rule earlier
}

TEST_F(Alarms, TheAlarmFlagTellsOfThisCycleOnly) {
    // The batch check finds nothing, so the flag is what the reports raised.
    rig.sink.batch_result = false;
    HostBinding::SetThreshold(*rig.device, "110200010010", 1, 200.0f);
    bank.SetPair(oracle::kPhaseVoltage1, 2300);
    rig.RunCycle(bank);
    EXPECT_TRUE(rig.sink.alarms.at(0).state);
    EXPECT_TRUE(HostBinding::AlarmActive(*rig.device));
    // The next cycle's voltage is back under the threshold: the flag falls.
    bank.SetPair(oracle::kPhaseVoltage1, 1900);
    rig.RunCycle(bank);
    EXPECT_FALSE(rig.sink.alarms.at(1).state);
    EXPECT_FALSE(HostBinding::AlarmActive(*rig.device));
}

TEST(AlarmEvaluation, JudgesARecordAgainstPlainMapsWithoutADevice) {
    QV5810_Data_t record;
    std::memset(&record, 0, sizeof record);
    // Phase voltage 1 (registers 1806, 1807) at record offset 32: raw 2309.
    const std::uint16_t pair[2] = {0, 2309};
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + oracle::record_offset(oracle::kPhaseVoltage1), pair,
                sizeof pair);
    std::map<std::string, int> levels{{"110200010010", 1}, {"110200020010", 2}};
    std::map<std::string, float> thresholds{{"110200010010", 229.0f}};
    std::vector<std::string> reports;
    evaluate_alarm_rules(record, levels, thresholds, [&](const AlarmOutcome& rule) {
        reports.push_back(rule.key + " " + std::to_string(rule.level) + " " + rule.text + " " + rule.value_text +
                          (rule.outcome ? " up" : " down"));
    });
    EXPECT_EQ(reports, (std::vector<std::string>{"110200010010 1 001#低压配电屏A相电压过高 230 up",
                                                 "110200020010 2 001#低压配电屏A相电压过低 230 down"}));
    EXPECT_EQ(levels.size(), 27u);
    EXPECT_EQ(thresholds.size(), 2u);
}
