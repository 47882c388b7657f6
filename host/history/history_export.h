// The history's readings view read out: as CSV (`qmxhost history --csv
// FILE`) or as JSON rows for the HTTP API. Each opens the file read-only.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <json/value.h>

// Throws std::runtime_error when the file is no history of ours.
void export_history_csv(const std::string& path, std::ostream& out);

// The newest `limit` poll and reload rows of `device` with `from` <= utc <=
// `to` (both in the history's form, 2026-01-02T03:04:05.678Z), oldest
// first, each an object of the view's columns. Throws std::runtime_error.
Json::Value history_rows_json(const std::string& path, std::uint32_t device, const std::string& from,
                              const std::string& to, int limit);
