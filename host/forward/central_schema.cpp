#include "host/forward/central_schema.h"

#include <utility>

#include "host/history/history_schema.h"
#include "host/meter_view/meter_readings.h"

namespace {

using Columns = std::vector<std::pair<std::string, std::string>>;  // name, PostgreSQL type

const std::string kSchema = kCentralSchema;

// Each table's columns after site, as the box's table names them.
Columns raw_columns() {
    Columns columns{{"device", "integer NOT NULL"}, {"t", "timestamptz NOT NULL"}, {"data_id", "bigint NOT NULL"},
                    {"record", "bytea NOT NULL"}};
    for (const MeterReading& reading : kMeterReadings) columns.emplace_back(raw_column(reading.high_register), "integer");
    return columns;
}

Columns aggregate_columns() {
    Columns columns{{"device", "integer NOT NULL"}, {"t", "timestamptz NOT NULL"}, {"samples", "integer NOT NULL"}};
    for (const MeterReading& reading : kMeterReadings) {
        const std::string r = raw_column(reading.high_register);
        if (reading.counter) {
            columns.emplace_back(r + "_last", "integer");
            continue;
        }
        columns.emplace_back(r + "_min", "integer");
        columns.emplace_back(r + "_max", "integer");
        columns.emplace_back(r + "_sum", "bigint");
    }
    return columns;
}

Columns event_columns() {
    return {{"device", "integer NOT NULL"}, {"t", "timestamptz NOT NULL"}, {"kind", "text NOT NULL"},
            {"record_t", "timestamptz"},    {"detail", "text NOT NULL"}};
}

Columns alarm_columns() {
    return {{"device", "integer NOT NULL"}, {"t", "timestamptz NOT NULL"}, {"key", "text NOT NULL"},
            {"up", "boolean NOT NULL"},     {"level", "integer NOT NULL"},  {"value", "double precision"},
            {"compared", "bigint"},         {"threshold", "double precision"}, {"unit", "text"},
            {"text", "text NOT NULL"},      {"label", "text"}};
}

struct TableShape {
    const char* name;
    Columns columns;
    std::vector<std::string> key;
    bool updated_in_place;
};

const std::vector<TableShape>& shapes() {
    static const std::vector<TableShape> all = {
        {"raw", raw_columns(), {"device", "t"}, false},
        {"minute", aggregate_columns(), {"device", "t"}, true},
        {"hour", aggregate_columns(), {"device", "t"}, true},
        {"events", event_columns(), {"device", "t", "kind"}, false},
        {"alarms", alarm_columns(), {"device", "t", "key"}, false},
    };
    return all;
}

std::string joined(const std::vector<std::string>& names, const std::string& before = "") {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + before + name;
    return text;
}

std::string data_table_sql(const TableShape& shape) {
    std::string sql = "CREATE TABLE IF NOT EXISTS " + kSchema + "." + shape.name + " (site text NOT NULL";
    for (const auto& [name, type] : shape.columns) sql += ", " + name + " " + type;
    return sql + ", PRIMARY KEY (site, " + joined(shape.key) + ")) PARTITION BY RANGE (t)";
}

// A raw value in the reading's unit, as the box's views show it.
std::string in_unit(const std::string& raw, const MeterReading& reading) {
    return reading.divisor == 1 ? raw : raw + " / " + std::to_string(reading.divisor) + ".0::double precision";
}

// Times as the box's views give them: utc, and local_time where the box is.
std::string times(const std::string& t) {
    return "d." + t + " AS utc, d." + t + " AT TIME ZONE s.time_zone AS local_time";
}

std::string from(const std::string& table) {
    return "\nFROM " + kSchema + "." + table + " d JOIN " + kSchema + ".sites s ON s.site = d.site";
}

std::string readings_view() {
    std::string sql = "CREATE OR REPLACE VIEW " + kSchema + ".readings AS SELECT d.site, " + times("t") +
                      ", d.device, d.data_id";
    for (const MeterReading& reading : kMeterReadings) {
        sql += ",\n  " + in_unit("d." + raw_column(reading.high_register), reading) + " AS " + reading.column;
    }
    return sql + from("raw");
}

std::string aggregate_view(const std::string& view, const std::string& table) {
    std::string sql = "CREATE OR REPLACE VIEW " + kSchema + "." + view + " AS SELECT d.site, " + times("t") +
                      ", d.device, d.samples";
    for (const MeterReading& reading : kMeterReadings) {
        const std::string r = "d." + raw_column(reading.high_register);
        const std::string column = reading.column;
        if (reading.counter) {
            sql += ",\n  " + r + "_last AS " + column;
            continue;
        }
        sql += ",\n  " + in_unit(r + "_min", reading) + " AS " + column + "_min";
        sql += ", " + in_unit(r + "_sum::double precision / d.samples", reading) + " AS " + column + "_mean";
        sql += ", " + in_unit(r + "_max", reading) + " AS " + column + "_max";
    }
    return sql + from(table);
}

// Made by whoever first needs a month, as the tables' owner: a box may
// insert through the parents without the right to make tables. The lock
// keeps two boxes from making one partition at once.
std::string add_month_sql() {
    std::string tables;
    for (const TableShape& shape : shapes()) tables += std::string(tables.empty() ? "" : ", ") + "'" + shape.name + "'";
    return "CREATE OR REPLACE FUNCTION " + kSchema +
           ".add_month(at timestamptz) RETURNS void LANGUAGE plpgsql SECURITY DEFINER SET search_path = " + kSchema +
           ", pg_temp AS $$\n"
           "DECLARE\n"
           "  first timestamp := date_trunc('month', at AT TIME ZONE 'UTC');\n"
           "  name text;\n"
           "  part text;\n"
           "BEGIN\n"
           "  FOREACH name IN ARRAY ARRAY[" + tables + "] LOOP\n"
           "    part := name || '_' || to_char(first, 'YYYY_MM');\n"
           "    IF to_regclass('" + kSchema + ".' || part) IS NULL THEN\n"
           "      PERFORM pg_advisory_xact_lock(5810);\n"
           "      EXECUTE format('CREATE TABLE IF NOT EXISTS " + kSchema + ".%I PARTITION OF " + kSchema +
           ".%I FOR VALUES FROM (%L) TO (%L)', part, name, first AT TIME ZONE 'UTC', (first + interval '1 month') AT "
           "TIME ZONE 'UTC');\n"
           "    END IF;\n"
           "  END LOOP;\n"
           "END $$";
}

}  // namespace

const std::vector<CentralTable>& central_tables() {
    static const std::vector<CentralTable> tables = [] {
        std::vector<CentralTable> made;
        for (const TableShape& shape : shapes()) {
            CentralTable table{shape.name, {}, shape.key, shape.updated_in_place};
            for (const auto& [name, type] : shape.columns) table.columns.push_back(name);
            made.push_back(std::move(table));
        }
        return made;
    }();
    return tables;
}

std::vector<std::string> central_schema_sql() {
    std::vector<std::string> sql = {
        // Two boxes that find no schema at once make it one after the other.
        "SELECT pg_advisory_xact_lock(5810)",
        "CREATE SCHEMA IF NOT EXISTS " + kSchema,
        "CREATE TABLE IF NOT EXISTS " + kSchema + ".central (id uuid NOT NULL, version integer NOT NULL)",
        "INSERT INTO " + kSchema + ".central (id, version) SELECT gen_random_uuid(), 0 WHERE NOT EXISTS (SELECT FROM " +
            kSchema + ".central)",
        "CREATE TABLE IF NOT EXISTS " + kSchema +
            ".sites (site text PRIMARY KEY, host text NOT NULL, machine_id text NOT NULL, version text NOT NULL, "
            "time_zone text NOT NULL, first_contact timestamptz NOT NULL DEFAULT now(), last_contact timestamptz NOT NULL)",
        "CREATE TABLE IF NOT EXISTS " + kSchema +
            ".meters (site text NOT NULL, device integer NOT NULL, name text NOT NULL, PRIMARY KEY (site, device))",
    };
    for (const TableShape& shape : shapes()) sql.push_back(data_table_sql(shape));
    sql.push_back(add_month_sql());
    sql.push_back(readings_view());
    sql.push_back(aggregate_view("readings_per_minute", "minute"));
    sql.push_back(aggregate_view("readings_per_hour", "hour"));
    sql.push_back("CREATE OR REPLACE VIEW " + kSchema + ".history_events AS SELECT d.site, " + times("t") +
                  ", d.device, d.kind, d.record_t AS record_utc, d.detail" + from("events"));
    sql.push_back("CREATE OR REPLACE VIEW " + kSchema + ".alarm_events AS SELECT d.site, " + times("t") +
                  ", d.device, m.name, d.key, d.label, d.text, d.level, CASE WHEN d.up THEN 'rise' ELSE 'clear' END "
                  "AS change, d.value, d.compared, d.threshold, d.unit" +
                  from("alarms") + " LEFT JOIN " + kSchema + ".meters m ON m.site = d.site AND m.device = d.device");
    sql.push_back("UPDATE " + kSchema + ".central SET version = " + std::to_string(kCentralSchemaVersion));
    return sql;
}

std::string central_merge_sql(const CentralTable& table) {
    std::string sql = "INSERT INTO " + kSchema + "." + table.name + " SELECT * FROM pg_temp." + table.name +
                      "_in ON CONFLICT (site, " + joined(table.key) + ") DO ";
    if (!table.updated_in_place) return sql + "NOTHING";
    std::string set;
    for (const std::string& column : table.columns) {
        if (column == "device" || column == "t") continue;
        set += (set.empty() ? "" : ", ") + column + " = excluded." + column;
    }
    return sql + "UPDATE SET " + set;
}
