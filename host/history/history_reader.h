// The history read out, read-only, while a run may be writing it: rows
// for the HTTP API, and exports as CSV or JSON lines with the meters'
// names and the quantities' units.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/common/site_zone.h"
#include "host/history/history_schema.h"

// What rows are read: the meters' readings, or every rise and clear of an
// alarm rule.
enum class HistoryKind { readings, alarms };

struct HistoryQuery {
    HistoryKind kind = HistoryKind::readings;
    std::optional<std::uint32_t> device;  // none: every meter
    std::int64_t from_ms = std::numeric_limits<std::int64_t>::min();
    std::int64_t to_ms = std::numeric_limits<std::int64_t>::max();  // both ends included
    Resolution resolution = Resolution::raw;  // of readings
    int limit = 0;  // 0: every row; else the newest `limit`, still oldest first
    std::vector<std::string> quantities;  // of readings: only these (their column names); none: all
    SiteZone zone;  // whose clock the rows' local_time shows
};

// CSV and JSON lines for people and tools; JSON rows, an object each
// separated by commas, for an array in the HTTP API's answer.
enum class ExportFormat { csv, jsonl, json_rows };

// "raw", "minute", "hour"; nothing for anything else.
std::optional<Resolution> resolution_named(const std::string& name);

// Each row an object of the view's columns (readings, alarm_events). Throws std::runtime_error
// when the file is no history of ours.
Json::Value history_rows_json(const std::string& path, const HistoryQuery& query);

// CSV: a header of the columns' names for people, with their units, and
// the meter's name beside its data id. JSON lines: an object a row, the
// view's columns and "meter". JSON rows: as the API's rows. Throws std::runtime_error.
void export_history(const std::string& path, const HistoryQuery& query, ExportFormat format, std::ostream& out);

// The same rows a piece at a time, for a reader that takes them at its own
// pace: memory holds one piece, never the whole export. The read (and the
// snapshot of the file it sees) lasts as long as this does.
class HistoryPieces {
public:
    // Opens the file and prepares the query; throws std::runtime_error.
    HistoryPieces(const std::string& path, const HistoryQuery& query, ExportFormat format);
    ~HistoryPieces();
    HistoryPieces(const HistoryPieces&) = delete;
    HistoryPieces& operator=(const HistoryPieces&) = delete;

    // Appends whole rows (the CSV's header first) to `out` until it has
    // grown by about `bytes`; false once the last row is in. Throws
    // std::runtime_error when the file cannot be read.
    bool Next(std::string& out, std::size_t bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
