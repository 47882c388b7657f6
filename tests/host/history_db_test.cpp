// The history file: raw rows and their aggregates worked out apart from the
// bench host's code, retention over simulated time, reloads as events,
// exports, one writer per file, locks and kills that lose no more than a
// batch and leave the file whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "host/history/history_db.h"
#include "host/history/history_reader.h"
#include "host/history/history_schema.h"
#include "host/sinks/history_sink.h"
#include "tests/support/meter_oracle.h"

namespace {

constexpr std::int64_t kStart = 1767225600000LL;  // 2026-01-01T00:00:00Z
constexpr std::int64_t kDay = 86400LL * 1000;

// On a memory file system where there is one: a commit's fsync costs nothing
// there, and the retention test commits tens of thousands of times.
std::string temp_db(const std::string& name) {
    const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : testing::TempDir();
    return folder + "qv5810_history_" + std::to_string(getpid()) + "_" + name + ".db";
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
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

// The meter at second `s`: phase 1 voltage and the imported energy move.
std::vector<unsigned char> record_at(std::int64_t s) {
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, static_cast<std::int32_t>(2300 + (s * 7) % 61 - 30));
    bank.SetPair(1880, static_cast<std::int32_t>(1000 + s));
    return record_from(bank, 1);
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
    std::string One(const std::string& sql) { return Rows(sql).at(0).at(0); }
    sqlite3* db = nullptr;
};

}  // namespace

TEST(HistorySchema, ARecordIsARawRowWithItsQuantitiesAsColumnsAndItsOwnTime) {
    const std::string path = temp_db("schema");
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, 2314);
    bank.SetPair(1820, 949);
    bank.SetPair(1854, -12345);
    {
        HistoryDb history(path);
        history.NameMeter(31, "panel 31");
        history.Add(history_row(kStart + 123, 31, 5156, record_from(bank, 31)));
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored) << history.last_error();
        const auto newest = history.Newest(31);
        ASSERT_TRUE(newest.has_value());
        EXPECT_EQ(newest->record, record_from(bank, 31));
        EXPECT_EQ(newest->t_ms, kStart + 123);
        EXPECT_FALSE(history.Newest(32).has_value());
    }
    Query q(path);
    EXPECT_EQ(q.Rows("SELECT utc, device, data_id, phase_voltage_1_v, total_power_factor, avg_active_power_neg_kw "
                     "FROM readings"),
              (std::vector<std::vector<std::string>>{{"2026-01-01T00:00:00.123Z", "31", "5156", "231.4", "0.949", "-12.345"}}));
    EXPECT_EQ(q.One("SELECT length(record) FROM raw"), "167");
    EXPECT_EQ(q.One("SELECT name FROM meters WHERE device = 31"), "panel 31");
    remove_db(path);
}

TEST(HistoryRetention, AggregatesAreThoseOfTheRawRowsAndEachKindKeepsExactlyItsWindow) {
    const std::string path = temp_db("retention");
    // A month: at one cycle in five minutes, then its last six hours at one a second.
    constexpr std::int64_t kBusy = 30 * 86400 - 6 * 3600;
    std::vector<std::int64_t> seconds;
    for (std::int64_t s = 0; s < kBusy; s += 300) seconds.push_back(s);
    for (std::int64_t s = kBusy; s < 30 * 86400; ++s) seconds.push_back(s);
    const std::int64_t end = kStart + seconds.back() * 1000;
    {
        HistoryDb history(path, HistoryWindows{2, 9, 20});
        history.NameMeter(1, "m");
        std::int64_t batch_start = kStart;
        for (std::int64_t s : seconds) {
            const std::int64_t t = kStart + s * 1000;
            if (t - batch_start >= 5000) {
                ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored) << history.last_error();
                batch_start = t;
            }
            history.Add(history_row(t, 1, 5156, record_at(s)));
        }
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    }
    Query q(path);
    // Each kind of row reaches back exactly its window from the newest record.
    const std::int64_t raw_cutoff = end - 2 * kDay;
    const auto kept = std::count_if(seconds.begin(), seconds.end(), [&](std::int64_t s) { return kStart + s * 1000 >= raw_cutoff; });
    EXPECT_EQ(q.One("SELECT count(*) FROM raw"), std::to_string(kept));
    // The oldest bucket of `width` that some record falls in, at or after `cutoff`.
    const auto first_bucket = [&seconds](std::int64_t cutoff, std::int64_t width) {
        for (std::int64_t s : seconds) {
            const std::int64_t bucket = kStart + s * 1000 / width * width;
            if (bucket >= cutoff) return bucket;
        }
        return std::int64_t{-1};
    };
    EXPECT_EQ(std::stoll(q.One("SELECT min(t) FROM minute")), first_bucket(end - 9 * kDay, 60000));
    EXPECT_EQ(std::stoll(q.One("SELECT min(t) FROM hour")), first_bucket(end - 20 * kDay, 3600000));
    // Worked out from the raw rows that are left, in SQL, apart from the code that aggregated them.
    const auto from_raw = q.Rows(
        "SELECT m, n, least, greatest, total, (SELECT r1880 FROM raw last WHERE last.device = 1 AND last.t >= m "
        "AND last.t < m + 60000 ORDER BY last.t DESC LIMIT 1) FROM (SELECT t / 60000 * 60000 AS m, count(*) AS n, "
        "min(r1806) AS least, max(r1806) AS greatest, sum(r1806) AS total FROM raw GROUP BY m) ORDER BY m");
    const auto stored = q.Rows(
        "SELECT t, samples, r1806_min, r1806_max, r1806_sum, r1880_last FROM minute "
        "WHERE t >= (SELECT min(t) / 60000 * 60000 FROM raw) ORDER BY t");
    ASSERT_EQ(stored.size(), from_raw.size());
    // The first minute may hold rows already pruned from the raw window.
    EXPECT_EQ(std::vector(stored.begin() + 1, stored.end()), std::vector(from_raw.begin() + 1, from_raw.end()));
    EXPECT_EQ(q.Rows("SELECT samples FROM hour ORDER BY t DESC LIMIT 2"),
              (std::vector<std::vector<std::string>>{{"3600"}, {"3600"}}));
    // The view's mean is the sum over the samples, in volts.
    EXPECT_DOUBLE_EQ(std::stod(q.One("SELECT phase_voltage_1_v_mean FROM readings_per_minute ORDER BY utc DESC LIMIT 1 OFFSET 1")),
                     std::stod(q.One("SELECT avg(phase_voltage_1_v) FROM readings WHERE utc >= "
                                     "(SELECT utc FROM readings_per_minute ORDER BY utc DESC LIMIT 1 OFFSET 1) AND utc < "
                                     "(SELECT utc FROM readings_per_minute ORDER BY utc DESC LIMIT 1)")));
    remove_db(path);
}

TEST(HistoryEvents, AReloadIsAnEventWithTheRecordsOwnTimeAndNeverAReading) {
    const std::string path = temp_db("reload");
    {
        HistoryDb history(path);
        history.Add(history_row(kStart, 1, 5156, record_at(0)));
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
        history.AddEvent({kStart + kDay, 1, "reload", history.Newest(1)->t_ms, "handed back"});
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    }
    Query q(path);
    EXPECT_EQ(q.One("SELECT count(*) FROM readings"), "1");
    EXPECT_EQ(q.Rows("SELECT utc, kind, record_utc FROM history_events"),
              (std::vector<std::vector<std::string>>{{"2026-01-02T00:00:00.000Z", "reload", "2026-01-01T00:00:00.000Z"}}));
    remove_db(path);
}

TEST(HistoryExport, FiltersByMeterTimeAndResolutionWithNamesAndUnitsInTheHeader) {
    const std::string path = temp_db("export");
    {
        HistoryDb history(path);
        history.NameMeter(1, "main, panel 1");
        for (std::int64_t s = 0; s < 180; ++s) history.Add(history_row(kStart + s * 1000, 1, 5156, record_at(s)));
        history.Add(history_row(kStart, 2, 5156, record_at(0)));
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    }
    HistoryQuery query;
    query.device = 1;
    query.from_ms = kStart + 60 * 1000;
    query.to_ms = kStart + 119 * 1000;
    std::ostringstream csv;
    export_history(path, query, ExportFormat::csv, csv);
    std::istringstream lines(csv.str());
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header.rfind("id,utc,local time,device,data_id,phase 1 current (A),", 0), 0u) << header;
    EXPECT_NE(header.find(",phase 1 voltage (V),"), std::string::npos) << header;
    EXPECT_EQ(header.substr(header.rfind(',') + 1), "meter");
    int rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        EXPECT_TRUE(ends_with(line, ",\"main, panel 1\"")) << line;
    }
    EXPECT_EQ(rows, 60);
    query.resolution = Resolution::minute;
    query.device.reset();
    query.from_ms = kStart;
    std::ostringstream jsonl;
    export_history(path, query, ExportFormat::jsonl, jsonl);
    const std::string lines_out = jsonl.str();
    EXPECT_EQ(std::count(lines_out.begin(), lines_out.end(), '\n'), 3);  // minutes 0 and 1 of meter 1, 0 of meter 2
    EXPECT_NE(lines_out.find("\"phase_voltage_1_v_mean\":"), std::string::npos);
    remove_db(path);
}

TEST(HistoryOpen, ASecondWriterIsRefusedWithWhoWritesTheFile) {
    const std::string path = temp_db("writers");
    {
        HistoryDb first(path);  // says who it is before its first batch
        try {
            HistoryDb second(path);
            ADD_FAILURE() << "two writers";
        } catch (const HistoryRefused& e) {
            EXPECT_NE(std::string(e.what()).find("qmxhost " + std::to_string(getpid())), std::string::npos) << e.what();
        }
        // Reading it meanwhile is fine.
        EXPECT_NO_THROW(history_rows_json(path, HistoryQuery{}));
    }
    EXPECT_NO_THROW(HistoryDb again(path));  // once the first is gone
    remove_db(path);
}

TEST(HistoryOpen, WhatIsNoHistoryOfOursIsRefusedAndLeftAsItIs) {
    const std::string junk = temp_db("junk");
    std::FILE* f = std::fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is no database, just text long enough to be read as a header page", f);
    std::fclose(f);
    EXPECT_THROW(HistoryDb history(junk), HistoryRefused);
    const std::string foreign = temp_db("foreign");
    {
        Query other(foreign);
        ASSERT_EQ(sqlite3_exec(other.db, "CREATE TABLE foo (x); INSERT INTO foo VALUES (1)", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    EXPECT_THROW(HistoryDb history(foreign), HistoryRefused);
    Query after(foreign);
    EXPECT_EQ(after.Rows("SELECT name FROM sqlite_master"), (std::vector<std::vector<std::string>>{{"foo"}}));
    EXPECT_EQ(after.Rows("PRAGMA journal_mode"), (std::vector<std::vector<std::string>>{{"delete"}}));
    remove_db(junk);
    remove_db(foreign);
}

TEST(HistoryOpen, AHistoryDamagedMidFileIsRefusedAtStart) {
    const std::string path = temp_db("damaged");
    {
        HistoryDb history(path);
        for (std::int64_t s = 0; s < 2000; ++s) history.Add(history_row(kStart + s * 1000, 1, 5156, record_at(s)));
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
        history.Checkpoint();
    }
    struct stat file {};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    ASSERT_GT(file.st_size, 64 * 1024);
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(file.st_size / 2), SEEK_SET);
    std::uint32_t noise = 2463534242u;
    for (int i = 0; i < 8192; ++i) {
        noise ^= noise << 13;  // xorshift32
        noise ^= noise >> 17;
        noise ^= noise << 5;
        std::fputc(static_cast<int>(noise & 0xFF), f);
    }
    std::fclose(f);
    EXPECT_THROW(HistoryDb again(path), HistoryRefused);
    remove_db(path);
}

TEST(HistoryOpen, AHistoryOfThePreviousSchemaIsCarriedOver) {
    const std::string path = temp_db("v2");
    {
        Query old(path);
        ASSERT_EQ(sqlite3_exec(old.db,
                               "PRAGMA journal_mode=WAL; CREATE TABLE history (id INTEGER PRIMARY KEY, utc TEXT NOT NULL, "
                               "device INTEGER NOT NULL, data_id INTEGER NOT NULL, kind TEXT NOT NULL, record BLOB NOT NULL);"
                               "CREATE VIEW readings AS SELECT * FROM history; PRAGMA user_version = 2;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(old.db, "INSERT INTO history (utc, device, data_id, kind, record) VALUES (?, 1, 5156, ?, ?)", -1,
                           &s, nullptr);
        const std::pair<const char*, const char*> rows[] = {{"2026-01-01T00:00:00.250Z", "poll"},
                                                            {"2026-01-01T00:00:01.250Z", "poll"},
                                                            {"2026-01-01T00:05:00.000Z", "reload"}};
        for (const auto& [utc, kind] : rows) {
            const auto record = record_at(1);
            sqlite3_bind_text(s, 1, utc, -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 2, kind, -1, SQLITE_STATIC);
            sqlite3_bind_blob(s, 3, record.data(), static_cast<int>(record.size()), SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        sqlite3_finalize(s);
    }
    { HistoryDb carried(path); }
    Query q(path);
    EXPECT_EQ(q.One("PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
    EXPECT_EQ(q.Rows("SELECT utc FROM readings"),
              (std::vector<std::vector<std::string>>{{"2026-01-01T00:00:00.250Z"}, {"2026-01-01T00:00:01.250Z"}}));
    EXPECT_EQ(q.One("SELECT samples FROM minute"), "2");
    EXPECT_EQ(q.Rows("SELECT kind, record_utc FROM history_events"),
              (std::vector<std::vector<std::string>>{{"reload", "2026-01-01T00:00:01.250Z"}}));
    remove_db(path);
}

// A history of version 3 gains the alarms and the forwarding marks and
// keeps its rows; the rises and clears of the alarm rules are stored with
// the records of their cycles and shown with the meter's name.
TEST(HistoryOpen, AHistoryOfVersion3GainsTheAlarmsAndKeepsItsRows) {
    const std::string path = temp_db("v3");
    {
        HistoryDb history(path);
        history.NameMeter(1, "incomer");
        history.Add(history_row(kStart, 1, 5156, record_at(0)));
        history.Commit();
    }
    {
        Query old(path);
        ASSERT_EQ(sqlite3_exec(old.db, "DROP VIEW alarm_events; DROP TABLE alarms; DROP TABLE forwarded; DROP TABLE quarter; "
                                       "PRAGMA user_version = 3;", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    {
        HistoryDb history(path);
        struct : Notices {
            void Say(const std::string&) override {}
        } notices;
        HistorySink sink(history, 0.0, 1.0, notices);
        DeviceConfig meter;
        meter.data_id = 1;
        auto report = std::make_shared<CycleReport>();
        report->meter = &meter;
        report->utc_ms = kStart + 1000;
        report->record = record_at(1);
        report->stored = report->record;
        report->quantities = decode_quantities(report->record);
        AlarmOutcome over;
        over.key = "110200010010";
        over.text = "over";
        over.level = 1;
        over.value = 266.4;
        over.compared = 266;
        over.threshold = 253;
        over.reading = reading_at(1806);
        report->alarm_changes = {{over, true}};
        sink.Cycle(report);
        sink.Finished();
    }
    Query q(path);
    EXPECT_EQ(q.One("PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
    EXPECT_EQ(q.One("SELECT count(*) FROM raw"), "2");
    EXPECT_EQ(q.Rows("SELECT utc, name, key, change, value, compared, threshold, unit FROM alarm_events"),
              (std::vector<std::vector<std::string>>{
                  {"2026-01-01T00:00:01.000Z", "incomer", "110200010010", "rise", "266.4", "266", "253.0", "V"}}));
    // Read back as the API and the export read them: by meter and time.
    HistoryQuery alarms;
    alarms.kind = HistoryKind::alarms;
    alarms.device = 1;
    const Json::Value rows = history_rows_json(path, alarms);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["name"].asString(), "incomer");
    EXPECT_EQ(rows[0]["compared"].asInt(), 266);
    alarms.from_ms = kStart + 1001;
    EXPECT_EQ(history_rows_json(path, alarms).size(), 0u);
    alarms.from_ms = kStart;
    alarms.device = 2;
    EXPECT_EQ(history_rows_json(path, alarms).size(), 0u);
    alarms.device.reset();
    std::ostringstream csv;
    export_history(path, alarms, ExportFormat::csv, csv);
    EXPECT_NE(csv.str().find("\n1,2026-01-01T00:00:01.000Z,"), std::string::npos) << csv.str();
    remove_db(path);
}

TEST(HistoryFaults, ALockHeldElsewhereHoldsRecordsUntilItIsFree) {
    const std::string path = temp_db("busy");
    HistoryDb history(path, {}, 50);
    Query other(path);
    ASSERT_EQ(sqlite3_exec(other.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    history.Add(history_row(kStart, 1, 5156, record_at(0)));
    EXPECT_EQ(history.Commit(), HistoryDb::Outcome::busy);
    history.Add(history_row(kStart + 1000, 1, 5156, record_at(1)));
    EXPECT_EQ(history.Commit(), HistoryDb::Outcome::busy);
    EXPECT_EQ(history.pending(), 2u);
    ASSERT_EQ(sqlite3_exec(other.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    EXPECT_EQ(history.pending(), 0u);
    EXPECT_EQ(other.One("SELECT count(*) FROM raw"), "2");
    remove_db(path);
}

// The history outlet tries a history that failed again a batch interval
// later, not at every cycle: a disk in trouble is not hammered, and each
// retry is counted in records' time, not the machine's.
TEST(HistoryFaults, AFailedHistoryIsTriedAgainABatchLater) {
    const std::string folder = temp_db("later") + ".d";
    const std::string path = folder + "/history.db";
    HistoryDb history(path);  // its folder not there yet: it cannot open
    ASSERT_FALSE(history.open());
    struct : Notices {
        void Say(const std::string&) override {}
    } notices;
    HistorySink sink(history, 2.0, 0.5, notices);
    DeviceConfig meter;
    meter.data_id = 1;
    const auto cycle_at = [&](int second) {
        auto report = std::make_shared<CycleReport>();
        report->meter = &meter;
        report->utc_ms = kStart + second * 1000;
        report->record = record_at(second);
        report->stored = report->record;
        report->quantities = decode_quantities(report->record);
        sink.Cycle(report);
    };
    cycle_at(0);
    cycle_at(2);  // a batch due: tried, and failed
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    cycle_at(3);  // resting: not tried again yet
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "tried again within the batch interval";
    cycle_at(4);  // a batch interval after the failure
    ASSERT_EQ(access(path.c_str(), F_OK), 0) << "not tried again a batch interval later";
    EXPECT_EQ(Query(path).One("SELECT count(*) FROM raw"), "4");
    remove_db(path);
    rmdir(folder.c_str());
}

TEST(HistoryFaults, AKillDuringABatchLosesAtMostThatBatchAndLeavesTheFileWhole) {
    const std::string path = temp_db("killed");
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        // Batches of five, each committed; the count stored so far goes to the parent.
        close(told[0]);
        HistoryDb history(path);
        for (std::int64_t s = 0;; ++s) {
            history.Add(history_row(kStart + s * 1000, 1, 5156, record_at(s)));
            if (s % 5 == 4 && history.Commit() == HistoryDb::Outcome::stored) {
                const std::int64_t stored = s + 1;
                if (write(told[1], &stored, sizeof stored) != sizeof stored) _exit(1);
            }
        }
    }
    close(told[1]);
    std::int64_t stored = 0;
    for (int batches = 0; batches < 200 && read(told[0], &stored, sizeof stored) == sizeof stored; ++batches) {
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    std::int64_t later = 0;
    while (read(told[0], &later, sizeof later) == sizeof later) stored = later;  // commits told before the kill
    close(told[0]);
    Query q(path);
    EXPECT_EQ(q.One("PRAGMA integrity_check"), "ok");
    const long long rows = std::stoll(q.One("SELECT count(*) FROM raw"));
    EXPECT_GE(rows, stored);      // nothing committed is lost
    EXPECT_LE(rows, stored + 5);  // and no more than the batch under way is missing
    EXPECT_EQ(q.One("SELECT sum(samples) FROM minute"), std::to_string(rows));
    remove_db(path);
}
