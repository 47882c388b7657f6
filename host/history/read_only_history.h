// A history file opened read-only while a run may be writing it: for the
// exports, the API's rows and the energy figures alike.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

struct FinalizeStatement {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

class ReadOnlyHistory {
public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit ReadOnlyHistory(const std::string& path);
    // Throws std::runtime_error for SQL the file's schema does not take.
    Statement Prepare(const std::string& sql);
    [[noreturn]] void Fail(const std::string& what) const;
    sqlite3* handle() const { return db_.get(); }

private:
    struct CloseDb {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::string path_;
    std::unique_ptr<sqlite3, CloseDb> db_;
};
