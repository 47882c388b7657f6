#include "host/qmxhost/history_export.h"

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

}  // namespace

void export_history_csv(const std::string& path, std::ostream& out) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, CloseDb> db(raw);
    auto fail = [&](const std::string& what) {
        throw std::runtime_error("history " + path + ": " + what + ": " + sqlite3_errmsg(db.get()));
    };
    if (opened != SQLITE_OK) fail("cannot open");
    sqlite3_busy_timeout(db.get(), 2000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db.get(), "SELECT * FROM readings ORDER BY id", -1, &statement, nullptr) != SQLITE_OK) {
        fail("no readings view");
    }
    std::unique_ptr<sqlite3_stmt, Finalize> query(statement);
    const int columns = sqlite3_column_count(statement);
    for (int c = 0; c < columns; ++c) out << (c > 0 ? "," : "") << sqlite3_column_name(statement, c);
    out << "\n";
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) out << (c > 0 ? "," : "") << csv_field(sqlite3_column_text(statement, c));
        out << "\n";
    }
    if (rc != SQLITE_DONE) fail("cannot read");
    out.flush();
    if (!out) throw std::runtime_error("cannot write the CSV");
}
