#include "host/qmxhost/history_db.h"

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

}  // namespace

HistoryDb::HistoryDb(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("history " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("CREATE TABLE IF NOT EXISTS history ("
         " id INTEGER PRIMARY KEY,"
         " data_id INTEGER NOT NULL,"
         " device_id INTEGER NOT NULL,"
         " stored_at TEXT NOT NULL,"
         " record BLOB NOT NULL)");
    Exec("CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, id)");
}

HistoryDb::~HistoryDb() { sqlite3_close(db_); }

void HistoryDb::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error != nullptr ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(std::string("history: ") + why);
    }
}

void HistoryDb::Store(std::uint32_t data_id, const std::vector<unsigned char>& record) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO history (data_id, device_id, stored_at, record) VALUES (?, ?, ?, ?)", -1,
                       &raw, nullptr);
    Statement statement(raw);
    std::uint32_t device_id = 0;
    if (record.size() >= sizeof device_id) std::memcpy(&device_id, record.data(), sizeof device_id);
    const std::string now =
        boost::posix_time::to_iso_extended_string(boost::posix_time::second_clock::local_time());
    sqlite3_bind_int64(raw, 1, data_id);
    sqlite3_bind_int64(raw, 2, device_id);
    sqlite3_bind_text(raw, 3, now.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(raw, 4, record.data(), static_cast<int>(record.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_DONE) throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db_));
}

std::optional<std::vector<unsigned char>> HistoryDb::Latest(std::uint32_t data_id) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_, "SELECT record FROM history WHERE data_id = ? ORDER BY id DESC LIMIT 1", -1, &raw,
                       nullptr);
    Statement statement(raw);
    sqlite3_bind_int64(raw, 1, data_id);
    if (sqlite3_step(raw) != SQLITE_ROW) return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(raw, 0));
    const int length = sqlite3_column_bytes(raw, 0);
    return std::vector<unsigned char>(bytes, bytes + length);
}
