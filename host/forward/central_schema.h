// The central history in PostgreSQL, worked out from the same table of
// readings as the box's own file (host/meter_view/meter_readings.h), so
// that a quantity added there is forwarded, stored and shown centrally
// without a word here. Everything lives in the schema qv5810:
//
// central  one row: this database's id, which the boxes keep their marks
//          under (a new database starts afresh), and the schema's version
// sites    each box: its site id, host name, machine id, version, time zone
//          and last contact; a site id is held by one machine id
// meters   each box's meters' names
// raw, minute, hour, events, alarms
//          the box's tables of the same names, each row under its site and
//          keyed by (site, device, t) (events and alarms with their kind or
//          rule as well), so that a batch sent twice is harmless; times as
//          timestamptz; partitioned by month, the partitions made as rows
//          need them (add_month, which a box may call without owning the
//          tables)
//
// The views readings, readings_per_minute, readings_per_hour,
// history_events and alarm_events show them as the box's views do, with
// the site first and local_time in the box's own time zone.
#pragma once

#include <string>
#include <vector>

// The version this qmxhost makes and writes.
constexpr int kCentralSchemaVersion = 1;
// The PostgreSQL schema that holds it all.
inline constexpr const char* kCentralSchema = "qv5810";

// A table both sides have: its name, its columns after `site` in the order
// they are sent (the box's table has the same names), and its key.
struct CentralTable {
    std::string name;
    std::vector<std::string> columns;
    std::vector<std::string> key;  // after site
    bool updated_in_place;         // an aggregate: a bucket forwarded again replaces what was sent
};

const std::vector<CentralTable>& central_tables();

// Statements that make or bring up to this version the central schema,
// in one transaction; each may run again.
std::vector<std::string> central_schema_sql();

// A batch's rows of a table, sent through a temporary table of the same
// columns (COPY, then this): new rows inserted, rows there already left, or
// for an aggregate replaced.
std::string central_merge_sql(const CentralTable& table);
