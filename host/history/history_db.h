// The device history in SQLite (README.md, "History"): one row per stored
// record with its UTC time, device, data id and kind, the record's bytes as
// the controller stores them, and a view of the decoded quantities. WAL with
// full sync, so a process killed mid-write loses at most that one record.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>


// Why a record is stored: a poll cycle's, or one handed back from the
// history at start.
enum class RecordKind { poll, reload };

struct sqlite3;
struct sqlite3_stmt;

class HistoryDb {
public:
    // Throws std::runtime_error; the database is closed again on every
    // failure. `busy_ms` is how long one store waits for another process's lock.
    explicit HistoryDb(const std::string& path, int busy_ms = 250);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Stores the record after any held back before. While another process
    // holds the database locked, records are held (up to kMostHeld, the
    // oldest dropped first) and false is returned. Throws on any other error.
    // `record_id` is the data id the record was published under.
    bool Store(std::uint32_t device, std::uint32_t record_id, RecordKind kind, const std::vector<unsigned char>& record);
    // Stores what a lock held back; false while the lock persists.
    bool StoreHeld();
    std::size_t held() const { return held_.size(); }
    std::size_t dropped() const { return dropped_; }
    static constexpr std::size_t kMostHeld = 10000;

    // The newest record stored for the device.
    std::optional<std::vector<unsigned char>> Latest(std::uint32_t device);

private:
    struct Row {
        std::string utc;
        std::uint32_t device;
        std::uint32_t record_id;
        RecordKind kind;
        std::vector<unsigned char> record;
    };
    struct CloseDb {
        void operator()(sqlite3* db) const;
    };
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const;
    };
    using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

    void Exec(const std::string& sql);
    Statement Prepare(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;
    int Insert(const Row& row);  // the SQLite result code

    std::string path_;
    std::unique_ptr<sqlite3, CloseDb> db_;  // declared first: closed after the statements
    Statement insert_;
    Statement latest_;
    std::deque<Row> held_;
    std::size_t dropped_ = 0;
};

// The SQL of the readings view over the history table.
std::string readings_view_sql();
