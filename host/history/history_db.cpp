#include "host/history/history_db.h"

#include <sqlite3.h>

#include <stdexcept>

#include "host/common/clock.h"
#include "host/meter_view/meter_map.h"
#include "host/meter_view/meter_readings.h"

namespace {

constexpr int kSchemaVersion = 2;

const char* kind_name(RecordKind kind) { return kind == RecordKind::poll ? "poll" : "reload"; }

// The byte at `offset` of the record, from the hex text of the blob: SQLite
// has no function that reads one byte of a blob as a number.
std::string byte_sql(int offset) {
    auto nibble = [](int index) {
        return "(instr('0123456789ABCDEF', substr(x, " + std::to_string(index) + ", 1)) - 1)";
    };
    return "(" + nibble(2 * offset + 1) + " * 16 + " + nibble(2 * offset + 2) + ")";
}

// Two registers, each stored low byte first, the high half first: a signed 32-bit value.
std::string quantity_sql(const MeterReading& reading) {
    const int at = record_offset(reading.high_register);
    const std::string raw = "((" + byte_sql(at) + " + 256 * " + byte_sql(at + 1) + ") * 65536 + " +
                            byte_sql(at + 2) + " + 256 * " + byte_sql(at + 3) + ")";
    return "(" + raw + " - (" + raw + " >= 2147483648) * 4294967296) / " + std::to_string(reading.divisor) +
           ".0 AS " + reading.column;
}

}  // namespace

std::string readings_view_sql() {
    std::string sql =
        "CREATE VIEW readings AS WITH h AS (SELECT *, hex(record) AS x FROM history) SELECT id, utc, "
        "datetime(utc, 'localtime') AS local_time, device, data_id, kind";
    for (const MeterReading& reading : kMeterReadings) sql += ",\n  " + quantity_sql(reading);
    return sql + "\nFROM h";
}

void HistoryDb::CloseDb::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void HistoryDb::Finalize::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

HistoryDb::HistoryDb(const std::string& path, int busy_ms) : path_(path) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_.reset(raw);  // closed on every path from here, a failed open included
    if (opened != SQLITE_OK) Fail("cannot open");
    // At start a lock held elsewhere is waited out a little longer than
    // one store would wait.
    sqlite3_busy_timeout(db_.get(), 2000);
    Statement version = Prepare("PRAGMA user_version");
    const int step = sqlite3_step(version.get());
    if (step != SQLITE_ROW) Fail("cannot read the schema version");
    const int found = sqlite3_column_int(version.get(), 0);
    version.reset();
    if (found == 0) {
        // Only an empty file becomes a history: anything else in it is
        // another program's (or an older qmxhost's) and is left as it is.
        Statement tables = Prepare("SELECT count(*) FROM sqlite_master");
        if (sqlite3_step(tables.get()) != SQLITE_ROW) Fail("cannot read the schema");
        if (sqlite3_column_int(tables.get(), 0) != 0) {
            throw std::runtime_error("history " + path + ": holds tables but no qmxhost schema version "
                                     "(another program's database, or an older qmxhost's); "
                                     "name a new file or move this one aside");
        }
        tables.reset();
        Exec("PRAGMA journal_mode=WAL");
        Exec("BEGIN IMMEDIATE");
        Exec("CREATE TABLE history ("
             " id INTEGER PRIMARY KEY,"
             " utc TEXT NOT NULL,"
             " device INTEGER NOT NULL,"
             " data_id INTEGER NOT NULL,"
             " kind TEXT NOT NULL CHECK (kind IN ('poll', 'reload')),"
             " record BLOB NOT NULL)");
        Exec("CREATE INDEX history_by_device ON history (device, id)");
        Exec("CREATE INDEX history_by_time ON history (utc)");
        Exec(readings_view_sql());
        Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
        Exec("COMMIT");
    } else if (found != kSchemaVersion) {
        throw std::runtime_error("history " + path + ": schema version " + std::to_string(found) +
                                 ", this qmxhost writes version " + std::to_string(kSchemaVersion));
    }
    Exec("PRAGMA synchronous=FULL");
    insert_ = Prepare("INSERT INTO history (utc, device, data_id, kind, record) VALUES (?, ?, ?, ?, ?)");
    latest_ = Prepare("SELECT record FROM history WHERE device = ? ORDER BY id DESC LIMIT 1");
    sqlite3_busy_timeout(db_.get(), busy_ms);
}

HistoryDb::~HistoryDb() = default;

void HistoryDb::Fail(const std::string& what) const {
    const std::string why = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
    throw std::runtime_error("history " + path_ + ": " + what + ": " + why);
}

void HistoryDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error != nullptr ? error : sqlite3_errmsg(db_.get());
        sqlite3_free(error);
        // Leaves no transaction open behind the failure.
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw std::runtime_error("history " + path_ + ": " + why);
    }
}

HistoryDb::Statement HistoryDb::Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) Fail("cannot prepare a statement");
    return Statement(raw);
}

int HistoryDb::Insert(const Row& row) {
    sqlite3_stmt* s = insert_.get();
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    const bool bound = sqlite3_bind_text(s, 1, row.utc.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                       sqlite3_bind_int64(s, 2, row.device) == SQLITE_OK &&
                       sqlite3_bind_int64(s, 3, row.record_id) == SQLITE_OK &&
                       sqlite3_bind_text(s, 4, kind_name(row.kind), -1, SQLITE_STATIC) == SQLITE_OK &&
                       sqlite3_bind_blob(s, 5, row.record.data(), static_cast<int>(row.record.size()),
                                         SQLITE_TRANSIENT) == SQLITE_OK;
    if (!bound) Fail("cannot bind a record");
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc;
}

bool HistoryDb::Store(std::uint32_t device, std::uint32_t record_id, RecordKind kind,
                      const std::vector<unsigned char>& record) {
    held_.push_back(Row{utc_timestamp(), device, record_id, kind, record});
    if (held_.size() > kMostHeld) {
        held_.pop_front();
        ++dropped_;
    }
    return StoreHeld();
}

bool HistoryDb::StoreHeld() {
    while (!held_.empty()) {
        const int rc = Insert(held_.front());
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return false;
        if (rc != SQLITE_DONE) Fail("cannot store a record");
        held_.pop_front();
    }
    return true;
}

std::optional<std::vector<unsigned char>> HistoryDb::Latest(std::uint32_t device) {
    sqlite3_stmt* s = latest_.get();
    sqlite3_reset(s);
    if (sqlite3_bind_int64(s, 1, device) != SQLITE_OK) Fail("cannot bind a device");
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) Fail("cannot read the newest record");
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
    const int length = sqlite3_column_bytes(s, 0);
    std::vector<unsigned char> record(bytes, bytes + length);
    sqlite3_reset(s);
    return record;
}
