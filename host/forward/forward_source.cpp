#include "host/forward/forward_source.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>
#include <tuple>

#include "host/common/clock.h"
#include "host/forward/central_schema.h"
#include "host/history/history_schema.h"

namespace {

constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr std::int64_t kHourMs = 60 * kMinuteMs;
// The buckets of one round: an hour of minutes, two days of hours, per meter.
constexpr std::int64_t kMinuteSpanMs = kHourMs;
constexpr std::int64_t kHourSpanMs = 48 * kHourMs;

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

std::int64_t floor_to(std::int64_t t, std::int64_t unit) { return t - ((t % unit) + unit) % unit; }

// The first millisecond of the UTC month `t_ms` falls in, in whole numbers
// of 64 bits (a 32-bit time_t ends in 2038): the day of the month from the
// days since the epoch, by the civil calendar's eras of 400 years.
std::int64_t month_of(std::int64_t t_ms) {
    constexpr std::int64_t kDayMs = 86400000;
    const std::int64_t midnight = floor_to(t_ms, kDayMs);
    const std::int64_t days = midnight / kDayMs + 719468;  // from 0000-03-01
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month = (5 * day_of_year + 2) / 153;  // from March
    const std::int64_t day = day_of_year - (153 * month + 2) / 5;  // of the month, from 0
    return midnight - day * kDayMs;
}

// COPY's text format: a backslash, tab, line feed or carriage return in a
// text is escaped; a missing value is \N.
void append_text(std::string& line, const unsigned char* text, int size) {
    for (int i = 0; i < size; ++i) {
        const char c = static_cast<char>(text[i]);
        switch (c) {
        case '\\': line += "\\\\"; break;
        case '\t': line += "\\t"; break;
        case '\n': line += "\\n"; break;
        case '\r': line += "\\r"; break;
        default: line += c;
        }
    }
}

void append_hex(std::string& line, const unsigned char* bytes, int size) {
    static const char kDigits[] = "0123456789abcdef";
    line += "\\\\x";
    for (int i = 0; i < size; ++i) {
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 0xF];
    }
}

// One row as a line of COPY text: the site, then each column from
// `first`, by its kind in the file; times (t, record_t) as UTC text.
void append_row(std::string& copy, const std::string& site, sqlite3_stmt* s, int first,
                const std::vector<std::string>& columns) {
    copy += site;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const int at = first + static_cast<int>(i);
        copy += '\t';
        switch (sqlite3_column_type(s, at)) {
        case SQLITE_NULL: copy += "\\N"; break;
        case SQLITE_INTEGER:
            if (columns[i] == "t" || columns[i] == "record_t") {
                copy += utc_text(sqlite3_column_int64(s, at));
            } else {
                copy += std::to_string(sqlite3_column_int64(s, at));
            }
            break;
        case SQLITE_FLOAT: {
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", sqlite3_column_double(s, at));
            copy += number;
            break;
        }
        case SQLITE_BLOB:
            append_hex(copy, static_cast<const unsigned char*>(sqlite3_column_blob(s, at)), sqlite3_column_bytes(s, at));
            break;
        default: append_text(copy, sqlite3_column_text(s, at), sqlite3_column_bytes(s, at));
        }
    }
    copy += '\n';
}

std::string select_list(const CentralTable& table) {
    std::string list;
    for (const std::string& column : table.columns) list += (list.empty() ? "" : ", ") + column;
    return list;
}

const char* const kKinds[] = {"raw", "events", "alarms", "minute", "hour"};

std::int64_t* mark_of(ForwardMarks& marks, const std::string& kind) {
    if (kind == "raw") return &marks.raw;
    if (kind == "events") return &marks.events;
    if (kind == "alarms") return &marks.alarms;
    if (kind == "minute") return &marks.minute;
    return &marks.hour;
}

}  // namespace

std::size_t ForwardBatch::Total() const {
    std::size_t total = 0;
    for (std::size_t n : rows) total += n;
    return total;
}

void ForwardSource::CloseDb::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

ForwardSource::ForwardSource(const std::string& path, std::string site) : path_(path), site_(std::move(site)) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    db_.reset(raw);
    if (opened != SQLITE_OK) Fail("cannot open it");
    // The history's commits take a few milliseconds; a slow disk's, seconds.
    sqlite3_busy_timeout(db_.get(), 5000);
    // A mark lost to a power cut sends its rows again, which is harmless:
    // no fsync of its own.
    Exec("PRAGMA synchronous=NORMAL");
    sqlite3_stmt* version = nullptr;
    sqlite3_prepare_v2(db_.get(), "PRAGMA user_version", -1, &version, nullptr);
    const int found = sqlite3_step(version) == SQLITE_ROW ? sqlite3_column_int(version, 0) : -1;
    sqlite3_finalize(version);
    if (found != kHistorySchemaVersion) {
        throw std::runtime_error("history " + path_ + " is no history of this qmxhost's yet (schema version " +
                                 std::to_string(found) + ")");
    }
}

ForwardSource::~ForwardSource() = default;

void ForwardSource::Fail(const std::string& what) const {
    throw std::runtime_error("history " + path_ + ": " + what + ": " +
                             (db_ ? sqlite3_errmsg(db_.get()) : std::string("out of memory")));
}

void ForwardSource::Exec(const std::string& sql) {
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot read it");
}

ForwardMarks ForwardSource::Marks(const std::string& target) {
    ForwardMarks marks;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "SELECT kind, mark FROM forwarded WHERE target = ?", -1, &raw, nullptr) != SQLITE_OK) {
        Fail("cannot read its marks");
    }
    const Statement s(raw);
    sqlite3_bind_text(s.get(), 1, target.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        *mark_of(marks, reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0))) = sqlite3_column_int64(s.get(), 1);
    }
    return marks;
}

void ForwardSource::Keep(const std::string& target, const ForwardMarks& marks) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(),
                           "INSERT INTO forwarded (target, kind, mark) VALUES (?, ?, ?) ON CONFLICT (target, kind) "
                           "DO UPDATE SET mark = excluded.mark",
                           -1, &raw, nullptr) != SQLITE_OK) {
        Fail("cannot keep its marks");
    }
    const Statement s(raw);
    ForwardMarks kept = marks;
    if (sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot keep its marks");
    for (const char* kind : kKinds) {
        sqlite3_reset(s.get());
        sqlite3_bind_text(s.get(), 1, target.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s.get(), 2, kind, -1, SQLITE_STATIC);
        sqlite3_bind_int64(s.get(), 3, *mark_of(kept, kind));
        if (sqlite3_step(s.get()) != SQLITE_DONE) {
            const std::string why = sqlite3_errmsg(db_.get());
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw std::runtime_error("history " + path_ + ": cannot keep its marks: " + why);
        }
    }
    if (sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string why = sqlite3_errmsg(db_.get());
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw std::runtime_error("history " + path_ + ": cannot keep its marks: " + why);
    }
}

Backlog ForwardSource::Behind(const ForwardMarks& marks) {
    Backlog backlog;
    sqlite3_stmt* raw = nullptr;
    // Ids are handed out one after another: the newest less the mark is what
    // waits, less only what the raw window deleted meanwhile.
    if (sqlite3_prepare_v2(db_.get(), "SELECT (SELECT max(id) FROM raw), (SELECT t FROM raw WHERE id > ?1 ORDER BY id LIMIT 1)",
                           -1, &raw, nullptr) != SQLITE_OK) {
        Fail("cannot read it");
    }
    const Statement s(raw);
    sqlite3_bind_int64(s.get(), 1, marks.raw);
    if (sqlite3_step(s.get()) == SQLITE_ROW) {
        backlog.records = std::max<std::int64_t>(0, sqlite3_column_int64(s.get(), 0) - marks.raw);
        backlog.oldest_ms = sqlite3_column_int64(s.get(), 1);
    }
    if (backlog.oldest_ms == 0) backlog.records = 0;
    return backlog;
}

std::vector<std::pair<std::int64_t, std::string>> ForwardSource::Meters() {
    std::vector<std::pair<std::int64_t, std::string>> meters;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "SELECT device, name FROM meters ORDER BY device", -1, &raw, nullptr) != SQLITE_OK) {
        Fail("cannot read it");
    }
    const Statement s(raw);
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        meters.emplace_back(sqlite3_column_int64(s.get(), 0), reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1)));
    }
    return meters;
}

ForwardBatch ForwardSource::Read(const ForwardMarks& marks, std::optional<std::int64_t> closed_before_ms) {
    const std::vector<CentralTable>& tables = central_tables();
    ForwardBatch batch;
    batch.copy.resize(tables.size());
    batch.rows.resize(tables.size());
    batch.next = marks;
    const auto prepare = [this](const std::string& sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) Fail("cannot read it");
        return Statement(raw);
    };
    // One snapshot for the whole round: a record and its aggregates agree.
    Exec("BEGIN");
    struct End {
        ForwardSource& source;
        ~End() { sqlite3_exec(source.db_.get(), "COMMIT", nullptr, nullptr, nullptr); }
    } end{*this};
    // The aggregates' buckets that late records changed after they went: (table, device, bucket).
    std::set<std::tuple<std::size_t, std::int64_t, std::int64_t>> again;
    const auto index_of = [&tables](const std::string& name) {
        return static_cast<std::size_t>(std::find_if(tables.begin(), tables.end(),
                                                     [&name](const CentralTable& t) { return t.name == name; }) -
                                        tables.begin());
    };
    const std::size_t minute_at = index_of("minute"), hour_at = index_of("hour");
    std::vector<std::int64_t> devices;
    {
        Statement s = prepare("SELECT device FROM meters");
        while (sqlite3_step(s.get()) == SQLITE_ROW) devices.push_back(sqlite3_column_int64(s.get(), 0));
    }
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const CentralTable& table = tables[i];
        if (table.updated_in_place) continue;
        std::int64_t* mark = mark_of(batch.next, table.name);
        Statement s = prepare("SELECT id, " + select_list(table) + " FROM " + table.name + " WHERE id > ? ORDER BY id LIMIT " +
                              std::to_string(kRowsPerRound));
        sqlite3_bind_int64(s.get(), 1, *mark);
        std::int64_t last = *mark;
        while (sqlite3_step(s.get()) == SQLITE_ROW) {
            last = sqlite3_column_int64(s.get(), 0);
            const std::int64_t device = sqlite3_column_int64(s.get(), 1);
            const std::int64_t t = sqlite3_column_int64(s.get(), 2);
            append_row(batch.copy[i], site_, s.get(), 1, table.columns);
            ++batch.rows[i];
            batch.months.insert(month_of(t));
            if (table.name != "raw") continue;
            if (floor_to(t, kMinuteMs) < marks.minute) again.emplace(minute_at, device, floor_to(t, kMinuteMs));
            if (floor_to(t, kHourMs) < marks.hour) again.emplace(hour_at, device, floor_to(t, kHourMs));
        }
        if (table.name == "raw") batch.expired = last - *mark - static_cast<std::int64_t>(batch.rows[i]);
        batch.full = batch.full || batch.rows[i] == kRowsPerRound;
        *mark = last;
    }
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const CentralTable& table = tables[i];
        if (!table.updated_in_place) continue;
        const std::int64_t unit = table.name == "minute" ? kMinuteMs : kHourMs;
        const std::int64_t span = table.name == "minute" ? kMinuteSpanMs : kHourSpanMs;
        std::int64_t* mark = mark_of(batch.next, table.name);
        // From the first bucket not yet forwarded, over the span, up to the
        // bucket still open.
        std::int64_t first = std::numeric_limits<std::int64_t>::max(), newest = std::numeric_limits<std::int64_t>::min();
        Statement next = prepare("SELECT (SELECT t FROM " + table.name + " WHERE device = ?1 AND t >= ?2 ORDER BY t LIMIT 1), "
                                 "(SELECT t FROM " + table.name + " WHERE device = ?1 ORDER BY t DESC LIMIT 1)");
        for (const std::int64_t device : devices) {
            sqlite3_reset(next.get());
            sqlite3_bind_int64(next.get(), 1, device);
            sqlite3_bind_int64(next.get(), 2, *mark);
            if (sqlite3_step(next.get()) != SQLITE_ROW) continue;
            if (sqlite3_column_type(next.get(), 0) != SQLITE_NULL) first = std::min<std::int64_t>(first, sqlite3_column_int64(next.get(), 0));
            if (sqlite3_column_type(next.get(), 1) != SQLITE_NULL) newest = std::max<std::int64_t>(newest, sqlite3_column_int64(next.get(), 1));
        }
        const std::int64_t open = closed_before_ms ? floor_to(*closed_before_ms, unit) : newest + unit;
        Statement rows = prepare("SELECT " + select_list(table) + " FROM " + table.name +
                                 " WHERE device = ? AND t >= ? AND t < ? ORDER BY t");
        const auto send = [&](std::int64_t device, std::int64_t from, std::int64_t to) {
            sqlite3_reset(rows.get());
            sqlite3_bind_int64(rows.get(), 1, device);
            sqlite3_bind_int64(rows.get(), 2, from);
            sqlite3_bind_int64(rows.get(), 3, to);
            while (sqlite3_step(rows.get()) == SQLITE_ROW) {
                append_row(batch.copy[i], site_, rows.get(), 0, table.columns);
                ++batch.rows[i];
                batch.months.insert(month_of(sqlite3_column_int64(rows.get(), 1)));
            }
        };
        if (first != std::numeric_limits<std::int64_t>::max() && first < open) {
            const std::int64_t until = std::min(first + span, open);
            for (const std::int64_t device : devices) send(device, first, until);
            *mark = until;
            batch.full = batch.full || until < open;
        }
        for (const auto& [table_at, device, bucket] : again) {
            if (table_at == i) send(device, bucket, bucket + 1);
        }
    }
    return batch;
}
