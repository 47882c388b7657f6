// Fills a history through the bench host's own history outlet with N
// simulated days of one meter (or METERS, data ids 1 to METERS) at one
// cycle a second (or every STEP seconds), in simulated time (the records'
// times, from 2026-01-01, or ending now with "now": a box's outage to catch
// up), then times the queries a person or the API makes. Prints one figure
// per line; bench/history.sh adds the fsyncs, bench/fleet.sh forwards the
// file, bench/energy.py asks the API of a site's year.
//
// usage: history_fill FILE [DAYS] [QUERIES: yes|no] [METERS] [now|then] [STEP]
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/bench_rig.h"
#include "host/history/history_reader.h"
#include "host/sinks/history_sink.h"

namespace {

constexpr std::int64_t kDayMs = 86400LL * 1000;
constexpr std::int64_t kStart = 1767225600000LL;  // 2026-01-01T00:00:00Z

long long file_bytes(const std::string& path) {
    struct stat info {};
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        if (stat((path + suffix).c_str(), &info) == 0) total += info.st_size;
    }
    return total;
}

// A record whose quantities move a little from second to second, as a
// meter's do.
std::vector<unsigned char> record_at(std::int64_t second) {
    std::vector<unsigned char> record(167, 0);
    record[0] = 1;
    std::size_t at = 4;
    for (const auto& [first, count] : {std::pair{1792, 22}, {1814, 32}, {1846, 16}, {1880, 8}}) {
        auto block = meter_block(first, count);
        for (int i = 0; i + 1 < count; i += 2) {
            const std::uint32_t raw = (static_cast<std::uint32_t>(block[static_cast<std::size_t>(i)]) << 16 |
                                       block[static_cast<std::size_t>(i) + 1]) +
                                      static_cast<std::uint32_t>(first >= 1880 ? second : std::lround(20 * std::sin(static_cast<double>(second) / 60.0)));
            block[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(raw >> 16);
            block[static_cast<std::size_t>(i) + 1] = static_cast<std::uint16_t>(raw);
        }
        for (int i = 0; i < count; ++i) {
            record[at++] = static_cast<unsigned char>(block[static_cast<std::size_t>(i)] & 0xFF);
            record[at++] = static_cast<unsigned char>(block[static_cast<std::size_t>(i)] >> 8);
        }
    }
    return record;
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The query as the API and a person make it: every column of the view over
// the range, each value read; the rows counted.
double query_ms(const std::string& path, Resolution resolution, std::int64_t from_ms, std::int64_t to_ms, int& rows) {
    const auto start = std::chrono::steady_clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, (resolution_select(resolution) + " WHERE device = 1 AND t >= ? AND t <= ? ORDER BY t").c_str(),
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, from_ms);
    sqlite3_bind_int64(s, 2, to_ms);
    rows = 0;
    double sum = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        ++rows;
        for (int c = 0; c < sqlite3_column_count(s); ++c) sum += sqlite3_column_double(s, c);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return sum != 0 ? ms_since(start) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: history_fill FILE [DAYS] [QUERIES: yes|no] [METERS] [now|then] [STEP]" << std::endl;
        return 2;
    }
    const std::string path = argv[1];
    const int days = argc > 2 ? std::atoi(argv[2]) : 400;
    const bool timed = argc <= 3 || std::string(argv[3]) != "no";
    const int meter_count = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    const std::int64_t first_ms = argc > 5 && std::string(argv[5]) == "now" ? utc_now_ms() - days * kDayMs : kStart;
    const std::int64_t step = argc > 6 ? std::max(1, std::atoi(argv[6])) : 1;
    std::vector<DeviceConfig> meters(static_cast<std::size_t>(meter_count));
    for (std::size_t i = 0; i < meters.size(); ++i) {
        meters[i].data_id = static_cast<std::uint32_t>(i + 1);
        meters[i].name = "bench " + std::to_string(i + 1);
    }
    long long size_at_window = 0, size_at_end = 0;
    int window_day = 0;
    {
        HistoryDb history(path);
        for (const DeviceConfig& meter : meters) history.NameMeter(meter.data_id, meter.name);
        struct : Notices {
            void Say(const std::string& text) override { std::cerr << text << std::endl; }
        } notices;
        HistorySink sink(history, 5.0, 1.0, notices);
        const HistoryWindows windows;
        for (std::int64_t second = 0; second < days * 86400LL; second += step) {
            const std::vector<unsigned char> record = record_at(second);
            for (const DeviceConfig& meter : meters) {
                auto report = std::make_shared<CycleReport>();
                report->meter = &meter;
                report->cycle = static_cast<int>(second + 1);
                report->utc_ms = first_ms + second * 1000 + meter.data_id;
                report->record = record;
                report->record_id = 5156;
                report->stored = report->record;
                report->quantities = decode_quantities(report->record);
                sink.Cycle(report);
            }
            if (second % 86400 + step >= 86400) {
                const int day = static_cast<int>(second / 86400) + 1;
                // Once the raw window is full (and pruned a day on), only the aggregates grow.
                if (day == windows.raw_days + 1) {
                    history.Checkpoint();
                    size_at_window = file_bytes(path);
                    window_day = day;
                }
            }
        }
        sink.Finished();
        size_at_end = file_bytes(path);
    }
    std::cout << "days " << days << "\n";
    std::cout << "file bytes " << size_at_end << "\n";
    if (window_day > 0 && days > window_day) {
        std::cout << "bytes per day once the raw window is full " << (size_at_end - size_at_window) / (days - window_day)
                  << "\n";
    }
    if (!timed) return 0;
    const std::int64_t end = kStart + days * kDayMs;
    int rows = 0;
    const struct {
        const char* what;
        Resolution resolution;
        std::int64_t span_ms;
    } queries[] = {{"one hour of raw values", Resolution::raw, 3600 * 1000},
                   {"one day of minute aggregates", Resolution::minute, kDayMs},
                   {"one year of hourly averages", Resolution::hour, 365 * kDayMs}};
    for (const auto& query : queries) {
        const double ms = query_ms(path, query.resolution, end - query.span_ms, end, rows);
        std::cout << "query ms, " << query.what << " " << ms << " (" << rows << " rows)\n";
    }
    // The same hour as the API hands it out, rows made JSON objects.
    HistoryQuery hour;
    hour.device = 1;
    hour.from_ms = end - 3600 * 1000;
    const auto start = std::chrono::steady_clock::now();
    HistoryPieces pieces(path, hour, ExportFormat::json_rows);
    std::string text;
    while (pieces.Next(text, 64 * 1024)) {
    }
    const double made_ms = ms_since(start);
    std::cout << "ms, the API's JSON of that hour " << made_ms << " (" << history_rows_json(path, hour).size() << " rows)\n";
    return 0;
}
