// The device history in SQLite: one row per stored record. WAL with full
// sync, so a process killed mid-write loses at most that one record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

class HistoryDb {
public:
    explicit HistoryDb(const std::string& path);  // throws std::runtime_error
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    void Store(std::uint32_t data_id, const std::vector<unsigned char>& record);
    // The newest record stored for the device with this data id.
    std::optional<std::vector<unsigned char>> Latest(std::uint32_t data_id);

private:
    void Exec(const char* sql);
    sqlite3* db_ = nullptr;
};
