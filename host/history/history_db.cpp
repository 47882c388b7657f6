#include "host/history/history_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "host/common/clock.h"
#include "host/common/host_address.h"
#include "host/history/counter_step.h"
#include "host/history/history_schema.h"
#include "host/meter_view/meter_readings.h"

namespace {

constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr std::int64_t kHourMs = 60 * kMinuteMs;
constexpr std::int64_t kDayMs = 24 * kHourMs;
constexpr int kPrunedPerCommit = 1000;  // rows of a kind and meter a commit deletes at most
constexpr std::size_t kMigratedPerStep = 10000;

// An SQLite failure with its code, so that a busy file is told from a broken one.
struct SqlFailure : std::runtime_error {
    SqlFailure(int result, const std::string& what) : std::runtime_error(what), code(result) {}
    int code;
};

// A bucket's aggregate of each reading: least, greatest, sum, and a
// counter's last value.
struct Aggregate {
    std::int64_t samples = 0;
    std::vector<std::int64_t> least, greatest, sum, last;

    Aggregate() : least(kMeterReadings.size()), greatest(kMeterReadings.size()), sum(kMeterReadings.size()), last(kMeterReadings.size()) {}
    void Add(const std::vector<std::optional<std::int32_t>>& counts) {
        for (std::size_t i = 0; i < kMeterReadings.size(); ++i) {
            const std::int64_t value = i < counts.size() ? counts[i].value_or(0) : 0;
            least[i] = samples == 0 ? value : std::min(least[i], value);
            greatest[i] = samples == 0 ? value : std::max(greatest[i], value);
            sum[i] += value;
            last[i] = value;
        }
        ++samples;
    }
};

std::string upsert_sql(const std::string& table) {
    std::string columns = "device, t, samples", values = "?, ?, ?", merge = "samples = samples + excluded.samples";
    for (const MeterReading& reading : kMeterReadings) {
        const std::string r = raw_column(reading.high_register);
        if (reading.counter) {
            columns += ", " + r + "_last";
            values += ", ?";
            merge += ", " + r + "_last = excluded." + r + "_last";
            continue;
        }
        columns += ", " + r + "_min, " + r + "_max, " + r + "_sum";
        values += ", ?, ?, ?";
        merge += ", " + r + "_min = min(" + r + "_min, excluded." + r + "_min), " + r + "_max = max(" + r +
                 "_max, excluded." + r + "_max), " + r + "_sum = " + r + "_sum + excluded." + r + "_sum";
    }
    return "INSERT INTO " + table + " (" + columns + ") VALUES (" + values + ") ON CONFLICT (device, t) DO UPDATE SET " +
           merge;
}

std::string upsert_quarter_sql() {
    std::string values, merge;
    for (const MeterReading* counter : counter_readings()) {
        const std::string c = raw_column(counter->high_register) + "_last";
        values += ", ?";
        merge += ", " + c + " = excluded." + c;
    }
    return "INSERT INTO quarter (device, t, minutes" + counter_columns("_last") + ", breaks) VALUES (?, ?, ?" + values +
           ", ?) ON CONFLICT (device, t) DO UPDATE SET minutes = minutes | excluded.minutes" + merge +
           ", breaks = breaks | excluded.breaks";
}

// A quarter's minutes with a record, its counters' last and where they broke.
struct Quarter {
    std::int64_t minutes = 0;
    std::vector<std::int64_t> last = std::vector<std::int64_t>(counter_readings().size());
    std::int64_t breaks = 0;
};

std::string insert_raw_sql() {
    std::string columns = "t, device, data_id, record", values = "?, ?, ?, ?";
    for (const MeterReading& reading : kMeterReadings) {
        columns += ", " + raw_column(reading.high_register);
        values += ", ?";
    }
    return "INSERT INTO raw (" + columns + ") VALUES (" + values + ")";
}

// The record's time in the schema of version 2, which kept it as text.
std::string v2_time_sql() {
    return "CAST(strftime('%s', substr(utc, 1, 19)) AS INTEGER) * 1000 + CAST(substr(utc, 21, 3) AS INTEGER)";
}

}  // namespace

std::vector<std::optional<std::int32_t>> history_counts_of(const std::vector<unsigned char>& record) {
    std::vector<std::optional<std::int32_t>> counts;
    for (const MeterReading& reading : kMeterReadings) counts.push_back(raw_reading(record, reading));
    return counts;
}

HistoryRow history_row(std::int64_t t_ms, std::uint32_t device, std::uint32_t data_id, std::vector<unsigned char> record) {
    std::vector<std::optional<std::int32_t>> counts = history_counts_of(record);
    return {t_ms, device, data_id, std::move(record), std::move(counts)};
}

void HistoryDb::CloseDb::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void HistoryDb::Finalize::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

HistoryDb::HistoryDb(std::string path, HistoryWindows windows, int busy_ms)
    : path_(std::move(path)), windows_(windows), busy_ms_(busy_ms) {
    try {
        Open();
    } catch (const HistoryRefused&) {
        throw;
    } catch (const std::runtime_error& e) {
        last_error_ = e.what();
    }
}

HistoryDb::~HistoryDb() {
    Commit();
    Checkpoint();
    Close();
}

void HistoryDb::Close() {
    if (db_ && sqlite3_get_autocommit(db_.get()) == 0) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    insert_raw_.reset();
    upsert_minute_.reset();
    upsert_hour_.reset();
    upsert_quarter_.reset();
    counters_before_.reset();
    insert_event_.reset();
    insert_alarm_.reset();
    name_meter_.reset();
    for (Statement& prune : prune_) prune.reset();
    db_.reset();
    // Closed after the database: closing a file releases every lock this process holds on it.
    if (lock_fd_ >= 0) close(lock_fd_);
    lock_fd_ = -1;
}

void HistoryDb::Fail(const std::string& what) const {
    const int code = db_ ? sqlite3_extended_errcode(db_.get()) : SQLITE_NOMEM;
    std::string why = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
    // "unable to open database file" says more with the system's reason: a
    // read-only file system or no permission, as the file (or its directory)
    // tells; else the last error SQLite met.
    const std::size_t slash = path_.rfind('/');
    const std::string place = access(path_.c_str(), F_OK) == 0 ? path_
                              : slash == std::string::npos  ? "."
                                                            : path_.substr(0, slash + 1);
    int system = access(place.c_str(), W_OK) != 0 ? errno : 0;
    if (system == 0 && db_) system = sqlite3_system_errno(db_.get());
    if (system != 0) why += std::string(" (") + std::strerror(system) + ")";
    throw SqlFailure(code, "history " + path_ + ": " + what + ": " + why);
}

void HistoryDb::Exec(const std::string& sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error);
    if (rc == SQLITE_OK) return;
    const std::string why = error != nullptr ? error : sqlite3_errmsg(db_.get());
    sqlite3_free(error);
    throw SqlFailure(rc, "history " + path_ + ": " + why);
}

HistoryDb::Statement HistoryDb::Prepare(const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db_.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
        Fail("cannot prepare a statement");
    }
    return Statement(raw);
}

void HistoryDb::Open() {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_.reset(raw);  // closed on every path from here, a failed open included
    try {
        if (opened != SQLITE_OK) Fail("cannot open");
        // At start a lock held elsewhere is waited out a little longer than one commit would wait.
        sqlite3_busy_timeout(db_.get(), 2000);
        TakeWriterLock();
        CheckWhole();
        CreateOrMigrate();
        Exec("PRAGMA synchronous=FULL");
        PrepareWrites();
        PrepareUpkeep();
        sqlite3_busy_timeout(db_.get(), busy_ms_);
        writer_named_ = false;
        // Named at once, not with the first batch: a second writer started
        // meanwhile is told who writes the file. A lock held elsewhere
        // leaves it to the first commit.
        try {
            Exec("BEGIN IMMEDIATE");
            NameWriter();
            Exec("COMMIT");
        } catch (const SqlFailure& e) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            writer_named_ = false;
            const int primary = e.code & 0xFF;
            if (primary != SQLITE_BUSY && primary != SQLITE_LOCKED) throw;
        }
    } catch (const SqlFailure& e) {
        Close();
        // A file that is no database, or a damaged one, is no history to write into.
        const int primary = e.code & 0xFF;
        if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
            throw HistoryRefused(std::string(e.what()) + "; move it aside or name another file");
        }
        throw;
    } catch (...) {
        Close();
        throw;
    }
}

// SQLite's own locks last a transaction; this one lasts the process, so
// that two processes never write one history. A lock of the whole file of
// its own kind (flock), apart from the byte-range locks SQLite takes.
void HistoryDb::TakeWriterLock() {
    lock_fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock_fd_ < 0) throw SqlFailure(SQLITE_CANTOPEN, "history " + path_ + ": cannot open it");
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return;
    std::string who = "another process";
    sqlite3_stmt* writer = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "SELECT pid, host, since FROM writer", -1, &writer, nullptr) == SQLITE_OK &&
        sqlite3_step(writer) == SQLITE_ROW) {
        who = "qmxhost " + std::to_string(sqlite3_column_int64(writer, 0)) + " on " +
              reinterpret_cast<const char*>(sqlite3_column_text(writer, 1)) + ", writing it since " +
              utc_text(sqlite3_column_int64(writer, 2));
    }
    sqlite3_finalize(writer);
    throw HistoryRefused("history " + path_ + " is being written by " + who +
                         "; give each run a file of its own (read it meanwhile with qmxhost history export)");
}

// Damage found at start is refused then, not met by the first batch: the
// pages' structure is read through once (quick_check, not the slower
// integrity_check: the indexes' contents are not compared).
void HistoryDb::CheckWhole() {
    Statement check = Prepare("PRAGMA quick_check(1)");
    const int rc = sqlite3_step(check.get());
    if (rc != SQLITE_ROW) Fail("cannot check the file");
    const std::string verdict = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
    if (verdict != "ok") throw SqlFailure(SQLITE_CORRUPT, "history " + path_ + ": damaged (" + verdict + ")");
}

void HistoryDb::CreateOrMigrate() {
    Statement version = Prepare("PRAGMA user_version");
    if (sqlite3_step(version.get()) != SQLITE_ROW) Fail("cannot read the schema version");
    const int found = sqlite3_column_int(version.get(), 0);
    version.reset();
    if (found == 2) return Migrate();
    if (found == kHistorySchemaVersion) return;
    if (found > 2 && found < kHistorySchemaVersion) {
        // Tables and views added since: nothing of the file's own changes.
        Exec("BEGIN IMMEDIATE");
        for (int next = found + 1; next <= kHistorySchemaVersion; ++next) {
            for (const std::string& sql : history_schema_added_in(next)) Exec(sql);
        }
        Exec("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion));
        Exec("COMMIT");
        return;
    }
    if (found != 0) {
        throw HistoryRefused("history " + path_ + ": schema version " + std::to_string(found) +
                             ", this qmxhost writes version " + std::to_string(kHistorySchemaVersion));
    }
    // Only an empty file becomes a history: anything else in it is
    // another program's and is left as it is.
    Statement tables = Prepare("SELECT count(*) FROM sqlite_master");
    if (sqlite3_step(tables.get()) != SQLITE_ROW) Fail("cannot read the schema");
    if (sqlite3_column_int(tables.get(), 0) != 0) {
        throw HistoryRefused("history " + path_ + ": holds tables but no qmxhost schema version (another program's "
                             "database); name a new file or move this one aside");
    }
    tables.reset();
    Exec("PRAGMA journal_mode=WAL");
    Exec("BEGIN IMMEDIATE");
    for (const std::string& sql : history_schema_sql()) Exec(sql);
    Exec("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion));
    Exec("COMMIT");
}

// A history of the previous schema, one row per record with the record's
// time as text and its reloads among the readings, becomes this one in one
// transaction: its readings raw rows and aggregates, its reloads events.
void HistoryDb::Migrate() {
    Exec("BEGIN IMMEDIATE");
    Exec("DROP VIEW IF EXISTS readings");
    for (const std::string& sql : history_schema_sql()) Exec(sql);
    PrepareWrites();
    PrepareUpkeep();
    Statement old = Prepare("SELECT " + v2_time_sql() + ", device, data_id, kind, record FROM history ORDER BY id");
    std::vector<HistoryRow> rows;
    std::vector<HistoryEvent> events;
    std::map<std::uint32_t, std::int64_t> newest;  // per device, for the reloads' events
    int rc = 0;
    while ((rc = sqlite3_step(old.get())) == SQLITE_ROW) {
        const std::int64_t t = sqlite3_column_int64(old.get(), 0);
        const auto device = static_cast<std::uint32_t>(sqlite3_column_int64(old.get(), 1));
        if (std::string(reinterpret_cast<const char*>(sqlite3_column_text(old.get(), 3))) == "reload") {
            const auto before = newest.find(device);
            events.push_back({t, device, "reload", before == newest.end() ? std::nullopt : std::optional(before->second),
                              "the newest record handed back to the device at start (from a history of version 2)"});
            continue;
        }
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(old.get(), 4));
        // A file of the previous schema holds records alone: their columns are worked out here.
        rows.push_back(history_row(t, device, static_cast<std::uint32_t>(sqlite3_column_int64(old.get(), 2)),
                                   std::vector<unsigned char>(bytes, bytes + sqlite3_column_bytes(old.get(), 4))));
        newest[device] = t;
        if (rows.size() == kMigratedPerStep) {
            Write(rows, {});
            rows.clear();
        }
    }
    if (rc != SQLITE_DONE) Fail("cannot read the previous history");
    old.reset();
    Write(rows, events);
    Exec("DROP TABLE history");
    Exec("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion));
    Exec("COMMIT");
}

void HistoryDb::PrepareWrites() {
    insert_raw_ = Prepare(insert_raw_sql());
    upsert_minute_ = Prepare(upsert_sql("minute"));
    upsert_hour_ = Prepare(upsert_sql("hour"));
    upsert_quarter_ = Prepare(upsert_quarter_sql());
    counters_before_ = Prepare("SELECT t" + counter_columns("") +
                               " FROM raw WHERE device = ?1 AND t < ?2 ORDER BY t DESC LIMIT 1");
    insert_event_ = Prepare("INSERT INTO events (t, device, kind, record_t, detail) VALUES (?, ?, ?, ?, ?)");
    insert_alarm_ = Prepare("INSERT INTO alarms (t, device, key, up, level, value, compared, threshold, unit, text, label) "
                            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
}

// Through each meter's (device, t) key, so that only the rows deleted are read.
void HistoryDb::PrepareUpkeep() {
    name_meter_ = Prepare("INSERT INTO meters (device, name) VALUES (?1, ?2) ON CONFLICT (device) DO UPDATE SET "
                          "name = excluded.name WHERE ?2 != ''");
    prune_[0] = Prepare("DELETE FROM raw WHERE id IN (SELECT id FROM raw WHERE device = ?1 AND t < ?2 ORDER BY t LIMIT ?3)");
    prune_[3] = Prepare("DELETE FROM alarms WHERE id IN (SELECT id FROM alarms WHERE device = ?1 AND t < ?2 ORDER BY t "
                        "LIMIT ?3)");
    for (std::size_t i : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
        const std::string table = i == 1 ? "minute" : i == 2 ? "hour" : "quarter";
        prune_[i] = Prepare("DELETE FROM " + table + " WHERE device = ?1 AND t IN (SELECT t FROM " + table +
                            " WHERE device = ?1 AND t < ?2 ORDER BY t LIMIT ?3)");
    }
    devices_.clear();
    Statement meters = Prepare("SELECT device FROM meters");
    while (sqlite3_step(meters.get()) == SQLITE_ROW) {
        devices_.insert(static_cast<std::uint32_t>(sqlite3_column_int64(meters.get(), 0)));
    }
}

void HistoryDb::NameMeter(std::uint32_t device, const std::string& name) { names_.emplace_back(device, name); }

// Who writes the file, for the message a second writer gets.
void HistoryDb::NameWriter() {
    const std::string host = host_name();
    Statement writer = Prepare("INSERT INTO writer (pid, host, since) VALUES (?, ?, ?)");
    sqlite3_bind_int64(writer.get(), 1, getpid());
    sqlite3_bind_text(writer.get(), 2, host.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(writer.get(), 3, utc_now_ms());
    Exec("DELETE FROM writer");
    if (sqlite3_step(writer.get()) != SQLITE_DONE) Fail("cannot name the writer");
    writer_named_ = true;  // taken back below when the transaction rolls back
}

void HistoryDb::Name(std::uint32_t device, const std::string& name) {
    sqlite3_stmt* s = name_meter_.get();
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, device);
    sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) != SQLITE_DONE) Fail("cannot name a meter");
    devices_.insert(device);
}

void HistoryDb::Add(HistoryRow row) {
    rows_.push_back(std::move(row));
    if (rows_.size() > kMostPending) {
        rows_.pop_front();
        ++dropped_;
    }
}

void HistoryDb::AddEvent(HistoryEvent event) { events_.push_back(std::move(event)); }

void HistoryDb::AddAlarm(HistoryAlarm alarm) { alarms_.push_back(std::move(alarm)); }

namespace {

void bind_text(sqlite3_stmt* s, int at, const std::string& text) {
    sqlite3_bind_text(s, at, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bind_or_null(sqlite3_stmt* s, int at, const std::optional<double>& value) {
    if (value) {
        sqlite3_bind_double(s, at, *value);
    } else {
        sqlite3_bind_null(s, at);
    }
}

}  // namespace

// Inside the commit's transaction, beside the records of the cycles they changed in.
void HistoryDb::WriteAlarms() {
    for (const HistoryAlarm& alarm : alarms_) {
        sqlite3_stmt* s = insert_alarm_.get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, alarm.t_ms);
        sqlite3_bind_int64(s, 2, alarm.device);
        bind_text(s, 3, alarm.key);
        sqlite3_bind_int(s, 4, alarm.up ? 1 : 0);
        sqlite3_bind_int(s, 5, alarm.level);
        bind_or_null(s, 6, alarm.value);
        if (alarm.compared) {
            sqlite3_bind_int64(s, 7, *alarm.compared);
        } else {
            sqlite3_bind_null(s, 7);
        }
        bind_or_null(s, 8, alarm.threshold);
        bind_text(s, 9, alarm.unit);
        bind_text(s, 10, alarm.text);
        if (alarm.label.empty()) {
            sqlite3_bind_null(s, 11);
        } else {
            bind_text(s, 11, alarm.label);
        }
        if (sqlite3_step(s) != SQLITE_DONE) Fail("cannot store an alarm");
    }
}

std::optional<std::int64_t> HistoryDb::pending_since() const {
    if (rows_.empty()) return std::nullopt;
    return rows_.front().t_ms;
}

void HistoryDb::Write(const std::vector<HistoryRow>& rows, const std::vector<HistoryEvent>& events) {
    std::map<std::pair<std::uint32_t, std::int64_t>, Aggregate> minutes, hours;
    std::set<std::uint32_t> devices;
    for (const HistoryRow& row : rows) {
        devices.insert(row.device);
        sqlite3_stmt* s = insert_raw_.get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, row.t_ms);
        sqlite3_bind_int64(s, 2, row.device);
        sqlite3_bind_int64(s, 3, row.data_id);
        sqlite3_bind_blob(s, 4, row.record.data(), static_cast<int>(row.record.size()), SQLITE_STATIC);
        for (std::size_t i = 0; i < kMeterReadings.size(); ++i) {
            const std::optional<std::int32_t> value = i < row.counts.size() ? row.counts[i] : std::nullopt;
            const int at = static_cast<int>(i) + 5;
            if (value) {
                sqlite3_bind_int64(s, at, *value);
            } else {
                sqlite3_bind_null(s, at);
            }
        }
        if (sqlite3_step(s) != SQLITE_DONE) Fail("cannot store a record");
        minutes[{row.device, row.t_ms - row.t_ms % kMinuteMs}].Add(row.counts);
        hours[{row.device, row.t_ms - row.t_ms % kHourMs}].Add(row.counts);
    }
    for (auto [statement, buckets] : {std::pair{upsert_minute_.get(), &minutes}, std::pair{upsert_hour_.get(), &hours}}) {
        for (const auto& [key, aggregate] : *buckets) {
            sqlite3_reset(statement);
            int at = 1;
            sqlite3_bind_int64(statement, at++, key.first);
            sqlite3_bind_int64(statement, at++, key.second);
            sqlite3_bind_int64(statement, at++, aggregate.samples);
            for (std::size_t i = 0; i < kMeterReadings.size(); ++i) {
                if (kMeterReadings[i].counter) {
                    sqlite3_bind_int64(statement, at++, aggregate.last[i]);
                    continue;
                }
                sqlite3_bind_int64(statement, at++, aggregate.least[i]);
                sqlite3_bind_int64(statement, at++, aggregate.greatest[i]);
                sqlite3_bind_int64(statement, at++, aggregate.sum[i]);
            }
            if (sqlite3_step(statement) != SQLITE_DONE) Fail("cannot store an aggregate");
        }
    }
    WriteQuarters(rows);
    // Every meter with rows is a meter retention looks at, named or not.
    for (std::uint32_t device : devices) {
        if (devices_.count(device) == 0) Name(device, "");
    }
    for (const HistoryEvent& event : events) {
        sqlite3_stmt* s = insert_event_.get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, event.t_ms);
        sqlite3_bind_int64(s, 2, event.device);
        sqlite3_bind_text(s, 3, event.kind.c_str(), -1, SQLITE_STATIC);
        if (event.record_t_ms) {
            sqlite3_bind_int64(s, 4, *event.record_t_ms);
        } else {
            sqlite3_bind_null(s, 4);
        }
        sqlite3_bind_text(s, 5, event.detail.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(s) != SQLITE_DONE) Fail("cannot store an event");
    }
}

// Each counter's step from the record before, at the records' own
// resolution: the quarters keep where one was no consumption, which the
// coarser rows alone cannot show (a reset and the counting up after it
// inside one minute). The record before a batch is the file's, so that a
// batch written again after a failed commit finds the same.
void HistoryDb::WriteQuarters(const std::vector<HistoryRow>& rows) {
    constexpr std::int64_t kQuarterMs = 15 * kMinuteMs;
    std::map<std::pair<std::uint32_t, std::int64_t>, Quarter> quarters;
    struct Before {
        std::int64_t t_ms = 0;
        std::vector<std::int64_t> counts;
    };
    std::map<std::uint32_t, std::optional<Before>> before;
    // The counters' places among a row's counts.
    std::vector<std::size_t> places;
    for (const MeterReading* counter : counter_readings()) {
        places.push_back(static_cast<std::size_t>(counter - kMeterReadings.data()));
    }
    for (const HistoryRow& row : rows) {
        auto previous = before.find(row.device);
        if (previous == before.end()) {
            sqlite3_stmt* s = counters_before_.get();
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, row.device);
            sqlite3_bind_int64(s, 2, row.t_ms);
            std::optional<Before> found;
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) {
                found.emplace();
                found->t_ms = sqlite3_column_int64(s, 0);
                for (std::size_t k = 0; k < places.size(); ++k) {
                    found->counts.push_back(sqlite3_column_int64(s, static_cast<int>(k) + 1));
                }
            } else if (rc != SQLITE_DONE) {
                Fail("cannot read a record");
            }
            sqlite3_reset(s);  // else its read stays open into the commit, which then cannot end
            previous = before.emplace(row.device, std::move(found)).first;
        }
        std::vector<std::int64_t> counts;
        for (std::size_t i : places) counts.push_back(i < row.counts.size() ? row.counts[i].value_or(0) : 0);
        Quarter& quarter = quarters[{row.device, row.t_ms - row.t_ms % kQuarterMs}];
        quarter.minutes |= std::int64_t{1} << (row.t_ms % kQuarterMs / kMinuteMs);
        quarter.last = counts;
        if (previous->second && row.t_ms > previous->second->t_ms) {
            for (std::size_t k = 0; k < places.size(); ++k) {
                if (!plausible_step(counts[k] - previous->second->counts[k], row.t_ms - previous->second->t_ms)) {
                    quarter.breaks |= std::int64_t{1} << k;
                }
            }
        }
        previous->second = Before{row.t_ms, std::move(counts)};
    }
    sqlite3_stmt* s = upsert_quarter_.get();
    for (const auto& [key, quarter] : quarters) {
        sqlite3_reset(s);
        int at = 1;
        sqlite3_bind_int64(s, at++, key.first);
        sqlite3_bind_int64(s, at++, key.second);
        sqlite3_bind_int64(s, at++, quarter.minutes);
        for (std::int64_t last : quarter.last) sqlite3_bind_int64(s, at++, last);
        sqlite3_bind_int64(s, at++, quarter.breaks);
        if (sqlite3_step(s) != SQLITE_DONE) Fail("cannot store an aggregate");
    }
}

// A few of the rows past their window, per meter and kind: no commit waits
// on a long delete, and a file that fell behind catches up over a while.
void HistoryDb::Prune(std::int64_t now_ms) {
    const int days[] = {windows_.raw_days, windows_.minute_days, windows_.hour_days, windows_.minute_days,
                        windows_.minute_days};
    for (std::size_t i = 0; i < 5; ++i) {
        if (days[i] <= 0) continue;
        for (std::uint32_t device : devices_) {
            sqlite3_stmt* prune = prune_[i].get();
            sqlite3_reset(prune);
            sqlite3_bind_int64(prune, 1, device);
            sqlite3_bind_int64(prune, 2, now_ms - days[i] * kDayMs);
            sqlite3_bind_int(prune, 3, kPrunedPerCommit);
            if (sqlite3_step(prune) != SQLITE_DONE) Fail("cannot delete old rows");
        }
    }
}

HistoryDb::Outcome HistoryDb::Commit() {
    if (idle()) return Outcome::stored;
    if (!db_) {
        try {
            Open();
        } catch (const std::runtime_error& e) {
            last_error_ = e.what();
            return Outcome::failed;
        }
    }
    const std::vector<HistoryRow> rows(rows_.begin(), rows_.end());
    try {
        Exec("BEGIN IMMEDIATE");
        if (!writer_named_) NameWriter();
        for (const auto& [device, name] : names_) Name(device, name);
        Write(rows, events_);
        WriteAlarms();
        if (!rows.empty()) {
            const auto newest = std::max_element(rows.begin(), rows.end(), [](const HistoryRow& a, const HistoryRow& b) {
                return a.t_ms < b.t_ms;
            });
            Prune(newest->t_ms);
        }
        Exec("COMMIT");
    } catch (const SqlFailure& e) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        writer_named_ = false;
        last_error_ = e.what();
        const int primary = e.code & 0xFF;
        if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) return Outcome::busy;
        // Opened again for the next try: a file that was moved, replaced or
        // remounted is then the one at the path.
        Close();
        return Outcome::failed;
    }
    rows_.clear();
    events_.clear();
    alarms_.clear();
    names_.clear();
    last_error_.clear();
    return Outcome::stored;
}

void HistoryDb::Checkpoint() {
    if (db_) sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

std::optional<HistoryDb::Stored> HistoryDb::Newest(std::uint32_t device) {
    if (!db_) return std::nullopt;
    Statement newest = Prepare("SELECT record, t FROM raw WHERE device = ? ORDER BY t DESC LIMIT 1");
    sqlite3_bind_int64(newest.get(), 1, device);
    if (sqlite3_step(newest.get()) != SQLITE_ROW) return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(newest.get(), 0));
    return Stored{std::vector<unsigned char>(bytes, bytes + sqlite3_column_bytes(newest.get(), 0)),
                  sqlite3_column_int64(newest.get(), 1)};
}
