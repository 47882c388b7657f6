// The history's tables and views, worked out from the bench host's table
// of readings (host/meter_view/meter_readings.h), so that a quantity added
// there is stored, aggregated and shown without a word here.
//
// raw      one row per stored record, kept for the raw window: its time, the
//          device, the record's data id and 167 bytes, and every quantity
//          as the meter counts it (column r<register>: the register pair as
//          a signed 32-bit number, before the divisor)
// minute   per device and minute, kept for the minute window: the samples,
//          and per quantity its least, greatest and summed raw value
//          (r<register>_min, _max, _sum), a counter's last (r<register>_last)
// hour     the same per hour, kept for the hour window
// quarter  per device and quarter hour, kept for the minute window (since
//          version 5): the minutes that hold a record (bit m for minute m
//          of the quarter), each counter's last, and the counters (bit k
//          for the k-th) that made a step no consumption makes between two
//          records, the later one in this quarter: what energy and demand
//          are read from without the wide minute rows
// events   what happened that is no reading: a record handed back at start
// alarms   every rise and clear of an alarm rule, with the measured value,
//          the whole number compared and the threshold (since version 4)
// meters   the configured meters' names, for exports
// writer   the process writing the file, for the message a second one gets
// forwarded how far each kind of row has reached a central history, per
//          central database (since version 4)
//
// The views `readings`, `readings_per_minute`, `readings_per_hour`,
// `history_events` and `alarm_events` show them in units and in readable
// times.
#pragma once

#include <string>
#include <vector>

struct MeterReading;

constexpr int kHistorySchemaVersion = 5;

// Statements that make an empty file a history, in order.
std::vector<std::string> history_schema_sql();
// The statements a history of the version before `version` needs to become
// one of it: its new tables and views.
std::vector<std::string> history_schema_added_in(int version);

// The rows a query can ask for: the raw rows, or the minute or hour aggregates.
enum class Resolution { raw, minute, hour };
// What the resolution's view shows, as a select list over its table with
// its key columns t and device: "SELECT id, ... FROM raw"; with
// `quantities` (the readings' column names), only theirs beside the keys.
std::string resolution_select(Resolution resolution, const std::vector<std::string>& quantities = {});
// The table a resolution's rows are kept in.
const char* resolution_table(Resolution resolution);

// The storage column of a reading's raw value: "r1806".
std::string raw_column(int high_register);

// The energy counters among the readings, in their table's order: a
// quarter keeps each one's last value, and bit k of its breaks is the k-th.
const std::vector<const MeterReading*>& counter_readings();
// Their storage columns, each after ", " and with `suffix`: ", r1806_last, …".
std::string counter_columns(const std::string& suffix);
