#include "host/history/history_schema.h"

#include <algorithm>

#include "host/history/counter_step.h"
#include "host/meter_view/meter_readings.h"

namespace {

// Milliseconds since the epoch as people read them.
std::string utc_sql(const std::string& t) {
    return "strftime('%Y-%m-%dT%H:%M:%S', " + t + " / 1000, 'unixepoch') || printf('.%03dZ', " + t + " % 1000)";
}

// For people's own SQL: the reading process's TZ. The exports and the API
// put the site's local time in its place (history_reader.cpp).
std::string local_sql(const std::string& t) { return "datetime(" + t + " / 1000, 'unixepoch', 'localtime')"; }

// A raw value in the reading's unit: the divisor applied.
std::string in_unit(const std::string& raw, const MeterReading& reading) {
    return reading.divisor == 1 ? raw : raw + " / " + std::to_string(reading.divisor) + ".0";
}

std::string aggregate_table(const std::string& name) {
    std::string sql = "CREATE TABLE " + name +
                      " (device INTEGER NOT NULL, t INTEGER NOT NULL, samples INTEGER NOT NULL";
    for (const MeterReading& reading : kMeterReadings) {
        const std::string r = raw_column(reading.high_register);
        sql += reading.counter ? ", " + r + "_last INTEGER" : ", " + r + "_min INTEGER, " + r + "_max INTEGER, " + r + "_sum INTEGER";
    }
    return sql + ", PRIMARY KEY (device, t)) WITHOUT ROWID";
}

// A reading the select shows: every one, or those named.
bool shown(const MeterReading& reading, const std::vector<std::string>& quantities) {
    return quantities.empty() || std::find(quantities.begin(), quantities.end(), reading.column) != quantities.end();
}

std::string aggregate_select(const std::string& table, const std::vector<std::string>& quantities) {
    std::string sql = "SELECT " + utc_sql("t") + " AS utc, " + local_sql("t") + " AS local_time, device, samples";
    for (const MeterReading& reading : kMeterReadings) {
        if (!shown(reading, quantities)) continue;
        const std::string r = raw_column(reading.high_register);
        const std::string column = reading.column;
        if (reading.counter) {
            sql += ",\n  " + r + "_last AS " + column;
            continue;
        }
        sql += ",\n  " + in_unit(r + "_min", reading) + " AS " + column + "_min";
        sql += ", " + in_unit(r + "_sum * 1.0 / samples", reading) + " AS " + column + "_mean";
        sql += ", " + in_unit(r + "_max", reading) + " AS " + column + "_max";
    }
    return sql + "\nFROM " + table;
}

}  // namespace

std::string raw_column(int high_register) { return "r" + std::to_string(high_register); }

const std::vector<const MeterReading*>& counter_readings() {
    static const std::vector<const MeterReading*> counters = [] {
        std::vector<const MeterReading*> found;
        for (const MeterReading& reading : kMeterReadings) {
            if (reading.counter) found.push_back(&reading);
        }
        return found;
    }();
    return counters;
}

std::string counter_columns(const std::string& suffix) {
    std::string columns;
    for (const MeterReading* counter : counter_readings()) columns += ", " + raw_column(counter->high_register) + suffix;
    return columns;
}

const char* resolution_table(Resolution resolution) {
    switch (resolution) {
    case Resolution::minute: return "minute";
    case Resolution::hour: return "hour";
    case Resolution::raw: break;
    }
    return "raw";
}

std::string resolution_select(Resolution resolution, const std::vector<std::string>& quantities) {
    if (resolution != Resolution::raw) return aggregate_select(resolution_table(resolution), quantities);
    std::string sql = "SELECT id, " + utc_sql("t") + " AS utc, " + local_sql("t") + " AS local_time, device, data_id";
    for (const MeterReading& reading : kMeterReadings) {
        if (!shown(reading, quantities)) continue;
        sql += ",\n  " + in_unit(raw_column(reading.high_register), reading) + " AS " + reading.column;
    }
    return sql + "\nFROM raw";
}

namespace {

// 1 where a counter's step from the row before (window w) is no
// consumption, as the writer's rule (counter_step.h) has it; else 0.
std::string broken_step(const std::string& column) {
    const std::string step = "(" + column + " - lag(" + column + ") OVER w)";
    return "CASE WHEN " + step + " < 0 OR " + step + " > " + std::to_string(kMostFeederWatts) +
           " * (t - lag(t) OVER w) / 3.6e6 + " + std::to_string(kCounterSlack) + " THEN 1 ELSE 0 END";
}

// The quarters of the minutes a file of version 4 holds, with the breaks
// its minutes show and those its raw rows still show inside a minute.
std::vector<std::string> quarter_table() {
    const std::string lasts = counter_columns("_last");
    std::string minute_steps, raw_steps, breaks;
    for (std::size_t k = 0; k < counter_readings().size(); ++k) {
        const std::string r = raw_column(counter_readings()[k]->high_register), b = "b" + std::to_string(k);
        minute_steps += ", " + broken_step(r + "_last") + " AS " + b;
        raw_steps += ", " + broken_step(r) + " AS " + b;
        // Sums, not max(): the one max(t) picks the row the lasts come from.
        breaks += (k > 0 ? " + " : "") + std::string("(min(sum(") + b + "), 1) << " + std::to_string(k) + ")";
    }
    const std::string window = " WINDOW w AS (PARTITION BY device ORDER BY t)";
    return {
        "CREATE TABLE quarter (device INTEGER NOT NULL, t INTEGER NOT NULL, minutes INTEGER NOT NULL" +
            counter_columns("_last INTEGER") +
            ", breaks INTEGER NOT NULL, PRIMARY KEY (device, t)) WITHOUT ROWID",
        // The bare columns of the row with max(t): each quarter's last.
        "INSERT INTO quarter (device, t, minutes" + lasts + ", breaks) SELECT device, q, minutes" + lasts +
            ", breaks FROM (SELECT device, t - t % 900000 AS q, sum(1 << (t % 900000 / 60000)) AS minutes, max(t)" +
            lasts + ", " + breaks + " AS breaks FROM (SELECT device, t" + lasts + minute_steps + " FROM minute" +
            window + ") GROUP BY device, q)",
        "UPDATE quarter SET breaks = quarter.breaks | marked.breaks FROM (SELECT device, t - t % 900000 AS q, " +
            breaks + " AS breaks FROM (SELECT device, t" + raw_steps + " FROM raw" + window +
            ") GROUP BY device, q) AS marked WHERE quarter.device = marked.device AND quarter.t = marked.q",
    };
}

}  // namespace

std::vector<std::string> history_schema_added_in(int version) {
    if (version == 5) return quarter_table();
    if (version != 4) return {};
    return {
        "CREATE TABLE alarms (id INTEGER PRIMARY KEY, t INTEGER NOT NULL, device INTEGER NOT NULL, key TEXT NOT NULL, "
        "up INTEGER NOT NULL, level INTEGER NOT NULL, value REAL, compared INTEGER, threshold REAL, unit TEXT, "
        "text TEXT NOT NULL, label TEXT)",
        "CREATE INDEX alarms_by_device ON alarms (device, t)",
        "CREATE VIEW alarm_events AS SELECT a.id, " + utc_sql("a.t") + " AS utc, " + local_sql("a.t") +
            " AS local_time, a.device, m.name, a.key, a.label, a.text, a.level, "
            "CASE WHEN a.up THEN 'rise' ELSE 'clear' END AS change, a.value, a.compared, a.threshold, a.unit "
            "FROM alarms a LEFT JOIN meters m ON m.device = a.device",
        "CREATE TABLE forwarded (target TEXT NOT NULL, kind TEXT NOT NULL, mark INTEGER NOT NULL, "
        "PRIMARY KEY (target, kind))",
    };
}

std::vector<std::string> history_schema_sql() {
    std::string raw = "CREATE TABLE raw (id INTEGER PRIMARY KEY, t INTEGER NOT NULL, device INTEGER NOT NULL, "
                      "data_id INTEGER NOT NULL, record BLOB NOT NULL";
    for (const MeterReading& reading : kMeterReadings) raw += ", " + raw_column(reading.high_register) + " INTEGER";
    std::vector<std::string> statements = {
        raw + ")",
        "CREATE INDEX raw_by_device ON raw (device, t)",
        aggregate_table("minute"),
        aggregate_table("hour"),
        "CREATE TABLE events (id INTEGER PRIMARY KEY, t INTEGER NOT NULL, device INTEGER NOT NULL, "
        "kind TEXT NOT NULL, record_t INTEGER, detail TEXT NOT NULL)",
        "CREATE TABLE meters (device INTEGER PRIMARY KEY, name TEXT NOT NULL)",
        "CREATE TABLE writer (pid INTEGER NOT NULL, host TEXT NOT NULL, since INTEGER NOT NULL)",
        "CREATE VIEW readings AS " + resolution_select(Resolution::raw),
        "CREATE VIEW readings_per_minute AS " + resolution_select(Resolution::minute),
        "CREATE VIEW readings_per_hour AS " + resolution_select(Resolution::hour),
        "CREATE VIEW history_events AS SELECT id, " + utc_sql("t") + " AS utc, " + local_sql("t") +
            " AS local_time, device, kind, " + utc_sql("record_t") + " AS record_utc, detail FROM events",
    };
    for (int version = 4; version <= kHistorySchemaVersion; ++version) {
        for (std::string& sql : history_schema_added_in(version)) statements.push_back(std::move(sql));
    }
    return statements;
}
