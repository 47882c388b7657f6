#include "host/history/history_reader.h"

#include <json/reader.h>
#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <set>
#include <vector>
#include <stdexcept>

#include "host/common/clock.h"
#include "host/common/json_text.h"
#include "host/history/read_only_history.h"
#include "host/meter_view/meter_readings.h"

namespace {

// The query's rows, oldest first, with the meter's name last; bound and ready.
Statement select_rows(ReadOnlyHistory& db, const HistoryQuery& query) {
    const bool limited = query.limit > 0;
    std::string sql;
    if (query.kind == HistoryKind::alarms) {
        // The view shows times as text; the table's own times and index pick the rows.
        sql = std::string("SELECT * FROM alarm_events WHERE id IN (SELECT id FROM alarms WHERE t >= ?1 AND t <= ?2") +
              (query.device ? " AND device = ?3" : "") + ") ORDER BY id" + (limited ? " DESC LIMIT ?4" : "");
        if (limited) sql = "SELECT * FROM (" + sql + ") ORDER BY id";
    } else {
        sql = resolution_select(query.resolution, query.quantities) + " WHERE t >= ?1 AND t <= ?2" + (query.device ? " AND device = ?3" : "") +
              " ORDER BY t" + (limited ? " DESC LIMIT ?4" : "");
        if (limited) sql = "SELECT * FROM (" + sql + ") ORDER BY utc";
        sql = "SELECT rows.*, (SELECT name FROM meters WHERE meters.device = rows.device) AS meter FROM (" + sql + ") AS rows";
    }
    Statement statement = db.Prepare(sql);
    sqlite3_bind_int64(statement.get(), 1, query.from_ms);
    sqlite3_bind_int64(statement.get(), 2, query.to_ms);
    if (query.device) sqlite3_bind_int64(statement.get(), 3, *query.device);
    if (limited) sqlite3_bind_int(statement.get(), 4, query.limit);
    return statement;
}

// "phase 1 voltage min (V)" for the column phase_voltage_1_v_min.
std::string header_of(const std::string& column) {
    if (column == "local_time") return "local time";
    for (const MeterReading& reading : kMeterReadings) {
        for (const char* suffix : {"", "_min", "_mean", "_max"}) {
            if (column != std::string(reading.column) + suffix) continue;
            const std::string unit = *reading.unit != '\0' ? std::string(" (") + reading.unit + ")" : "";
            return std::string(reading.label) + (*suffix != '\0' ? std::string(" ") + (suffix + 1) : "") + unit;
        }
    }
    return column;
}

std::string csv_field(const std::string& value) {
    if (value.find_first_of(",\"\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The views' column names, kept for good: rows name their members by them
// without a copy of each name in each row.
const char* interned(const char* name) {
    static std::mutex names_mutex;
    static std::set<std::string> names;  // guarded by names_mutex; a set's strings never move
    const std::lock_guard<std::mutex> lock(names_mutex);
    return names.insert(name).first->c_str();
}

// Where the rows' local_time is, and the utc it is made from: the views'
// own follow the process's TZ, these the site's zone.
struct LocalTimeColumn {
    int local = -1, utc = -1;

    explicit LocalTimeColumn(sqlite3_stmt* s) {
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
            const std::string name = sqlite3_column_name(s, c);
            if (name == "local_time") local = c;
            if (name == "utc") utc = c;
        }
        if (utc < 0) local = -1;
    }
    // The site's local time of the row, or nothing for a column that is not it.
    std::optional<std::string> Of(sqlite3_stmt* s, int c, const SiteZone& zone) const {
        if (c != local) return std::nullopt;
        const unsigned char* text = sqlite3_column_text(s, utc);
        const auto ms = text != nullptr ? utc_ms_from_text(reinterpret_cast<const char*>(text)) : std::nullopt;
        return ms ? zone.LocalText(*ms) : std::string();
    }
};

}  // namespace

std::optional<Resolution> resolution_named(const std::string& name) {
    if (name == "raw") return Resolution::raw;
    if (name == "minute") return Resolution::minute;
    if (name == "hour") return Resolution::hour;
    return std::nullopt;
}

struct HistoryPieces::Impl {
    Impl(const std::string& path, const HistoryQuery& query, ExportFormat format_)
        : db(path), statement(select_rows(db, query)), format(format_), zone(query.zone), local(statement.get()) {
        sqlite3_stmt* s = statement.get();
        // The API's readings go without the meter's name in every row; an alarm's row keeps it.
        columns = sqlite3_column_count(s) - (format == ExportFormat::json_rows && query.kind == HistoryKind::readings ? 1 : 0);
        for (int c = 0; c < columns; ++c) names.emplace_back(interned(sqlite3_column_name(s, c)));
    }

    void Header(std::string& out) const {
        for (int c = 0; c < columns; ++c) {
            if (c > 0) out += ',';
            out += csv_field(header_of(names[static_cast<std::size_t>(c)].c_str()));
        }
        out += '\n';
    }

    void Row(std::string& out) {
        sqlite3_stmt* s = statement.get();
        if (format == ExportFormat::csv) {
            for (int c = 0; c < columns; ++c) {
                const unsigned char* text = sqlite3_column_text(s, c);
                if (c > 0) out += ',';
                const std::optional<std::string> local_time = local.Of(s, c, zone);
                out += csv_field(local_time ? *local_time : text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
            out += '\n';
            return;
        }
        if (format == ExportFormat::json_rows && rows > 0) out += ',';
        {
            JsonMembers row(out);
            for (int c = 0; c < columns; ++c) {
                const char* name = names[static_cast<std::size_t>(c)].c_str();
                if (const std::optional<std::string> local_time = local.Of(s, c, zone)) {
                    row.Add(name, *local_time);
                    continue;
                }
                switch (sqlite3_column_type(s, c)) {
                case SQLITE_INTEGER: row.Add(name, static_cast<std::int64_t>(sqlite3_column_int64(s, c))); break;
                case SQLITE_FLOAT: row.Add(name, sqlite3_column_double(s, c)); break;
                case SQLITE_NULL: row.AddNull(name); break;
                default: row.Add(name, reinterpret_cast<const char*>(sqlite3_column_text(s, c)));
                }
            }
        }
        if (format == ExportFormat::jsonl) out += '\n';
    }

    ReadOnlyHistory db;
    Statement statement;
    ExportFormat format;
    SiteZone zone;
    LocalTimeColumn local;
    int columns = 0;
    std::vector<Json::StaticString> names;
    std::int64_t rows = 0;
    bool started = false;
    bool done = false;
};

HistoryPieces::HistoryPieces(const std::string& path, const HistoryQuery& query, ExportFormat format)
    : impl_(std::make_unique<Impl>(path, query, format)) {}

HistoryPieces::~HistoryPieces() = default;

bool HistoryPieces::Next(std::string& out, std::size_t bytes) {
    Impl& p = *impl_;
    if (p.done) return false;
    const std::size_t until = out.size() + bytes;
    if (!p.started && p.format == ExportFormat::csv) p.Header(out);
    p.started = true;
    while (out.size() < until) {
        const int rc = sqlite3_step(p.statement.get());
        if (rc == SQLITE_DONE) {
            // The read ends here, not when the reader has taken the last piece.
            p.done = true;
            p.statement.reset();
            return false;
        }
        if (rc != SQLITE_ROW) p.db.Fail("cannot read");
        p.Row(out);
        ++p.rows;
    }
    return true;
}

// The API's rows read back: a row's JSON has one writer.
Json::Value history_rows_json(const std::string& path, const HistoryQuery& query) {
    HistoryPieces pieces(path, query, ExportFormat::json_rows);
    std::string text = "[";
    while (pieces.Next(text, 64 * 1024)) {
    }
    text += ']';
    Json::Value rows;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &rows, &errors)) {
        throw std::runtime_error("history " + path + ": rows that do not read back: " + errors);
    }
    return rows;
}

void export_history(const std::string& path, const HistoryQuery& query, ExportFormat format, std::ostream& out) {
    HistoryPieces pieces(path, query, format);
    std::string piece;
    for (bool more = true; more;) {
        piece.clear();
        more = pieces.Next(piece, 64 * 1024);
        out << piece;
    }
    out.flush();
    if (!out) throw std::runtime_error("cannot write the export");
}
