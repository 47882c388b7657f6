// The history file: rows a person can query, decoded apart from the
// plug-in; a lock held by another process is waited out, not fatal.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "host/history/history_db.h"
#include "host/history/history_export.h"
#include "tests/support/meter_oracle.h"

namespace {

std::string temp_db(const std::string& name) {
    return testing::TempDir() + "qv5810_history_" + std::to_string(getpid()) + "_" + name + ".db";
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// A record as the device stores it: device id, then the registers low byte first.
std::vector<unsigned char> record_from(const oracle::RegisterBank& bank, std::uint32_t device) {
    std::vector<unsigned char> record(oracle::kRecordSize, 0);
    for (int i = 0; i < 4; ++i) record[static_cast<std::size_t>(i)] = static_cast<unsigned char>(device >> (8 * i));
    const auto area = oracle::expected_register_area(bank);
    std::copy(area.begin(), area.end(), record.begin() + 4);
    return record;
}

struct Query {
    explicit Query(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~Query() { sqlite3_close(db); }
    std::vector<std::vector<std::string>> Rows(const std::string& sql) {
        std::vector<std::vector<std::string>> rows;
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                const unsigned char* text = sqlite3_column_text(s, c);
                row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(s);
        return rows;
    }
    sqlite3* db = nullptr;
};

}  // namespace

TEST(HistorySchema, RowsCarryTimeDeviceDataIdKindAndTheRecord) {
    const std::string path = temp_db("schema");
    oracle::RegisterBank bank;
    bank.FillDistinct(3);
    {
        HistoryDb history(path);
        EXPECT_TRUE(history.Store(31, 5156, RecordKind::reload, record_from(bank, 31)));
        EXPECT_TRUE(history.Store(31, 5156, RecordKind::poll, record_from(bank, 31)));
        ASSERT_TRUE(history.Latest(31).has_value());
        EXPECT_EQ(*history.Latest(31), record_from(bank, 31));
        EXPECT_FALSE(history.Latest(32).has_value());
    }
    Query q(path);
    const auto rows = q.Rows("SELECT utc, device, data_id, kind, length(record) FROM history ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], "31");
    EXPECT_EQ(rows[0][2], "5156");
    EXPECT_EQ(rows[0][3], "reload");
    EXPECT_EQ(rows[1][3], "poll");
    EXPECT_EQ(rows[0][4], "167");
    // UTC in ISO 8601, which SQLite's own date functions read.
    EXPECT_EQ(rows[0][0].back(), 'Z');
    EXPECT_FALSE(q.Rows("SELECT datetime('" + rows[0][0] + "')")[0][0].empty());
    remove_db(path);
}

TEST(HistorySchema, TheReadingsViewAnswersWhatAQuantityWasAtATime) {
    const std::string path = temp_db("view");
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, 2314);   // 231.4 V
    bank.SetPair(1820, 949);                      // power factor 0.949
    bank.SetPair(1822, -12345);                   // -12.345 kW, exported
    bank.SetPair(1880, 123456789);                // Wh
    {
        HistoryDb history(path);
        history.Store(1, 5156, RecordKind::poll, record_from(bank, 1));
    }
    Query q(path);
    const auto rows = q.Rows(
        "SELECT phase_voltage_1_v, total_power_factor, active_power_1_kw, active_energy_pos_wh, data_id "
        "FROM readings WHERE device = 1 AND utc <= strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '+1 minute') "
        "ORDER BY utc DESC LIMIT 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_DOUBLE_EQ(std::stod(rows[0][0]), 231.4);
    EXPECT_DOUBLE_EQ(std::stod(rows[0][1]), 0.949);
    EXPECT_DOUBLE_EQ(std::stod(rows[0][2]), -12.345);
    EXPECT_DOUBLE_EQ(std::stod(rows[0][3]), 123456789.0);
    EXPECT_EQ(rows[0][4], "5156");
    remove_db(path);
}

TEST(HistoryExport, CsvHasAHeaderAndOneLinePerRecord) {
    const std::string path = temp_db("csv");
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, 2300);
    {
        HistoryDb history(path);
        history.Store(1, 5156, RecordKind::poll, record_from(bank, 1));
        history.Store(1, 5156, RecordKind::poll, record_from(bank, 1));
    }
    std::ostringstream csv;
    export_history_csv(path, csv);
    std::istringstream lines(csv.str());
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header.rfind("id,utc,local_time,device,data_id,kind,", 0), 0u) << header;
    EXPECT_NE(header.find("phase_voltage_1_v"), std::string::npos);
    int rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        EXPECT_NE(line.find(",230.0,"), std::string::npos) << line;
    }
    EXPECT_EQ(rows, 2);
    remove_db(path);
}

TEST(HistoryBusy, ALockHeldElsewhereHoldsRecordsBackAndTheyAreStoredLater) {
    const std::string path = temp_db("busy");
    oracle::RegisterBank bank;
    HistoryDb history(path, 50);
    Query other(path);
    ASSERT_EQ(sqlite3_exec(other.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(history.Store(1, 5156, RecordKind::poll, record_from(bank, 1)));
    EXPECT_FALSE(history.Store(1, 5156, RecordKind::poll, record_from(bank, 1)));
    EXPECT_EQ(history.held(), 2u);
    ASSERT_EQ(sqlite3_exec(other.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(history.Store(1, 5156, RecordKind::poll, record_from(bank, 1)));
    EXPECT_EQ(history.held(), 0u);
    EXPECT_EQ(other.Rows("SELECT count(*) FROM history")[0][0], "3");
    remove_db(path);
}

TEST(HistoryOpen, ABadFileIsRefusedWithItsPath) {
    // A directory, then a file that is no database; LeakSanitizer checks both closed.
    const std::string junk = temp_db("junk");
    std::FILE* f = std::fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is no database, just text long enough to be read as a header page", f);
    std::fclose(f);
    for (const std::string& path : {testing::TempDir(), junk}) {
        try {
            HistoryDb history(path);
            ADD_FAILURE() << "opened " << path;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    remove_db(junk);
}

TEST(HistoryOpen, AnotherProgramsDatabaseIsLeftAsItIs) {
    const std::string path = temp_db("foreign");
    {
        Query other(path);
        ASSERT_EQ(sqlite3_exec(other.db, "CREATE TABLE foo (x); INSERT INTO foo VALUES (1)", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    EXPECT_THROW(HistoryDb history(path), std::runtime_error);
    Query after(path);
    EXPECT_EQ(after.Rows("SELECT name FROM sqlite_master"), (std::vector<std::vector<std::string>>{{"foo"}}));
    EXPECT_EQ(after.Rows("PRAGMA journal_mode"), (std::vector<std::vector<std::string>>{{"delete"}}));
    remove_db(path);
}
