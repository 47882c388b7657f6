// The bench host's own reading of a record for people: decimals as the
// meter reports them, beside the snapshot's whole number.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "alarms/alarm_rules.h"
#include "host/meter_view/alarm_catalogue.h"
#include "host/meter_view/meter_map.h"
#include "host/meter_view/meter_readings.h"
#include "host/meter_view/register_map_text.h"
#include "host/report/report_json.h"
#include "host/sinks/console_sink.h"
#include "meter/register_map.h"
#include "tests/support/meter_oracle.h"

namespace {

std::vector<unsigned char> record_from(const oracle::RegisterBank& bank) {
    std::vector<unsigned char> record(oracle::kRecordSize, 0);
    const auto area = oracle::expected_register_area(bank);
    std::copy(area.begin(), area.end(), record.begin() + 4);
    return record;
}

const MeterReading& reading(int high_register) {
    const MeterReading* found = reading_at(high_register);
    if (found == nullptr) throw std::logic_error("no reading at " + std::to_string(high_register));
    return *found;
}

}  // namespace

TEST(MeterReadings, EveryQuantityIsDecodedWithItsScale) {
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, 2314);
    bank.SetPair(oracle::kCurrent2, 40533);
    bank.SetPair(1820, 949);
    bank.SetPair(1812, 5002);
    bank.SetPair(1854, -1500);
    bank.SetPair(1886, 300);
    const auto record = record_from(bank);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(oracle::kPhaseVoltage1)), 231.4);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(oracle::kCurrent2)), 40.533);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(1820)), 0.949);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(1812)), 50.02);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(1854)), -1.5);
    EXPECT_DOUBLE_EQ(*decode_reading(record, reading(1886)), 300.0);
    EXPECT_FALSE(decode_reading(std::vector<unsigned char>(10), reading(1886)).has_value());
}

TEST(MeterReadings, TheTableCoversEveryRegisterPairTheRecordHoldsButTheOpaqueOne) {
    std::set<int> registers;
    for (const MeterReading& r : kMeterReadings) registers.insert(r.high_register);
    for (int reg = 1792; reg < 1862; reg += 2) EXPECT_EQ(registers.count(reg), reg == 1798 ? 0u : 1u) << reg;
    for (int reg = 1880; reg < 1888; reg += 2) EXPECT_EQ(registers.count(reg), 1u) << reg;
}

TEST(MeterReadings, TheConsoleShowsDecimalsBesideTheSnapshotsWholeNumber) {
    oracle::RegisterBank bank;
    bank.SetPair(1820, 949);
    CycleReport report;
    report.quantities = decode_quantities(record_from(bank));
    report.snapshot = snapshot_object(R"({"总功率因数": 0, "相电压1": 231})");
    const std::string table = readings_table(report);
    const auto line_end = table.find('\n', table.find("total power factor"));
    const std::string line = table.substr(table.find("total power factor"), line_end - table.find("total power factor"));
    EXPECT_NE(line.find("0.949"), std::string::npos) << line;
    EXPECT_NE(line.find("总功率因数"), std::string::npos) << line;
    EXPECT_EQ(line.back(), '0') << line;
    EXPECT_NE(table.find("相电压1"), std::string::npos);
}

// The bench host's own tables must say what the plug-in's say: held side by
// side here, so that neither drifts unseen.
TEST(MeterView, TheAlarmCatalogueAndTheRegisterMapAgreeWithThePlugIns) {
    ASSERT_EQ(kAlarmCatalogue.size(), kAlarmRules.size());
    for (std::size_t i = 0; i < kAlarmRules.size(); ++i) {
        EXPECT_STREQ(kAlarmCatalogue[i].key, kAlarmRules[i].key);
        EXPECT_STREQ(kAlarmCatalogue[i].text, kAlarmRules[i].text);
        EXPECT_EQ(kAlarmCatalogue[i].high_register, kAlarmRules[i].high_register);
        EXPECT_EQ(kAlarmCatalogue[i].high, kAlarmRules[i].direction == Direction::high);
    }
    for (int reg = 1792; reg < 1900; ++reg) {
        const std::size_t plugin = record_offset_of_register(static_cast<std::uint32_t>(reg));
        EXPECT_EQ(record_offset(reg), plugin == kNoRecordOffset ? -1 : static_cast<int>(plugin)) << reg;
    }
    // Each rule's English label is its own, the two low line-voltage rules of one text among them.
    std::set<std::string> labels;
    for (const AlarmRuleView& rule : kAlarmCatalogue) EXPECT_TRUE(labels.insert(rule.Label()).second) << rule.Label();
    // Four 8-byte requests, answers of 5 bytes and 78 registers, a 3.5-character
    // gap before each of the 8 frames: 236 characters of 10 bits at 9600 baud.
    EXPECT_NEAR(cycle_wire_limit_ms(9600, 10), 236 * 10 * 1000.0 / 9600, 1e-9);
}

// The register map clients read is the one the server serves.
TEST(RegisterMap, TheDocumentIsTheOneTheTablesMake) {
    const std::string path = std::string(QV5810_SOURCE_DIR) + "/docs/modbus-registers.md";
    const std::string made = served_register_map();
    if (std::getenv("QV5810_WRITE_DOCS") != nullptr) std::ofstream(path) << made;
    std::ifstream in(path);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, made) << path << " differs from the tables: QV5810_WRITE_DOCS=1 ctest -R RegisterMap writes it";
}
