#include "host/history/history_export.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace {

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

std::string csv_field(const unsigned char* text) {
    if (text == nullptr) return "";
    std::string value(reinterpret_cast<const char*>(text));
    if (value.find_first_of(",\"\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

class ReadOnlyHistory {
public:
    explicit ReadOnlyHistory(const std::string& path) : path_(path) {
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        db_.reset(raw);
        if (opened != SQLITE_OK) Fail("cannot open");
        sqlite3_busy_timeout(db_.get(), 2000);
    }
    std::unique_ptr<sqlite3_stmt, Finalize> Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr) != SQLITE_OK) Fail("no readings view");
        return std::unique_ptr<sqlite3_stmt, Finalize>(statement);
    }
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("history " + path_ + ": " + what + ": " + sqlite3_errmsg(db_.get()));
    }

private:
    std::string path_;
    std::unique_ptr<sqlite3, CloseDb> db_;
};

}  // namespace

void export_history_csv(const std::string& path, std::ostream& out) {
    ReadOnlyHistory db(path);
    auto query = db.Prepare("SELECT * FROM readings ORDER BY id");
    sqlite3_stmt* statement = query.get();
    const int columns = sqlite3_column_count(statement);
    for (int c = 0; c < columns; ++c) out << (c > 0 ? "," : "") << sqlite3_column_name(statement, c);
    out << "\n";
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) out << (c > 0 ? "," : "") << csv_field(sqlite3_column_text(statement, c));
        out << "\n";
    }
    if (rc != SQLITE_DONE) db.Fail("cannot read");
    out.flush();
    if (!out) throw std::runtime_error("cannot write the CSV");
}

Json::Value history_rows_json(const std::string& path, std::uint32_t device, const std::string& from,
                              const std::string& to, int limit) {
    ReadOnlyHistory db(path);
    auto query = db.Prepare(
        "SELECT * FROM (SELECT * FROM readings WHERE device = ?1 AND utc >= ?2 AND utc <= ?3 "
        "ORDER BY id DESC LIMIT ?4) ORDER BY id");
    sqlite3_stmt* statement = query.get();
    sqlite3_bind_int64(statement, 1, device);
    sqlite3_bind_text(statement, 2, from.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 3, to.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(statement, 4, limit);
    Json::Value rows(Json::arrayValue);
    const int columns = sqlite3_column_count(statement);
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        Json::Value row(Json::objectValue);
        for (int c = 0; c < columns; ++c) {
            const char* name = sqlite3_column_name(statement, c);
            switch (sqlite3_column_type(statement, c)) {
            case SQLITE_INTEGER: row[name] = static_cast<Json::Int64>(sqlite3_column_int64(statement, c)); break;
            case SQLITE_FLOAT: row[name] = sqlite3_column_double(statement, c); break;
            case SQLITE_NULL: row[name] = Json::Value(); break;
            default: row[name] = reinterpret_cast<const char*>(sqlite3_column_text(statement, c)); break;
            }
        }
        rows.append(row);
    }
    if (rc != SQLITE_DONE) db.Fail("cannot read");
    return rows;
}
