#include "host/history/read_only_history.h"

#include <stdexcept>

ReadOnlyHistory::ReadOnlyHistory(const std::string& path) : path_(path) {
    sqlite3* raw = nullptr;
    // One thread at a time uses a handle: SQLite's own locking is not needed.
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);
    if (opened != SQLITE_OK) Fail("cannot open");
    sqlite3_busy_timeout(db_.get(), 2000);
    // Several reads at once, each taking its time: each keeps a small cache.
    sqlite3_exec(db_.get(), "PRAGMA cache_size = -512", nullptr, nullptr, nullptr);
}

Statement ReadOnlyHistory::Prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        Fail("not a history of this qmxhost");
    }
    return Statement(statement);
}

void ReadOnlyHistory::Fail(const std::string& what) const {
    throw std::runtime_error("history " + path_ + ": " + what + ": " + sqlite3_errmsg(db_.get()));
}
