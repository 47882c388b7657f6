// What the poll loop tells its outlets. A meter's cycle is decoded once,
// into one CycleReport made on the poll thread and shared read-only, so
// that every outlet, on a thread of its own, only renders it. The types
// here are the report's own: no outlet needs the line's or the runtime's.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/config/line_settings.h"
#include "host/config/meter_config.h"
#include "host/meter_view/alarm_catalogue.h"
#include "host/meter_view/meter_readings.h"
#include "host/report/freshness.h"
#include "host/report/meter_health.h"

enum class CycleKind {
    poll,    // a poll cycle that ended with a published record
    reload,  // the newest stored record, handed back to the device at start
    failed,  // a poll cycle that ended without one
};

// A line as the outlets name it.
struct LineInfo {
    std::size_t index = 0;                   // in the configuration's order, from 0
    std::string name;                        // its port or TCP address
    const LineSettings* settings = nullptr;  // outlives every report
    double wire_limit_ms = 0;                // of one meter's cycle; 0 over Modbus TCP, where no line is in sight
    std::vector<const DeviceConfig*> meters; // in the configuration's order; they outlive every report
};

struct LineConfig;
// A line of the configuration as the outlets name it; the configuration
// must outlive it.
LineInfo describe_line(std::size_t index, std::string name, const LineConfig& config);

// A request that needed a retry or failed.
struct RequestTrouble {
    std::string request;  // "read 1792/22"
    bool answered = false;
    std::string kind;     // failed: timeout, crc, bad_data, exception, interrupted, error
    std::string message;  // for people
    int attempts = 0;
};

// Registers as one read of the cycle brought them.
struct ReadBlock {
    int first = 0;
    std::vector<std::uint16_t> registers;
};

// One rule's outcome as the device reported it after a cycle, with what
// the bench host knows beside it: the quantity as measured and the
// configured threshold.
struct AlarmOutcome {
    std::string key;         // the 12-digit alarm key
    std::string text;        // the controller's alarm text
    std::string signal_key;
    int level = 0;
    bool up = false;
    unsigned short count = 0;
    std::string value_text;              // the whole number the device compared, as it reported it
    std::optional<long long> compared;   // the same, as a number
    std::optional<double> value;         // the quantity judged, as measured
    std::optional<double> threshold;     // as configured
    const AlarmRuleView* rule = nullptr;      // the catalogue's row; none for a key it does not know
    const MeterReading* reading = nullptr;    // the quantity the rule judges
};

// A rule whose outcome differs from the meter's previous poll cycle.
struct AlarmChange {
    AlarmOutcome outcome;  // this cycle's; for a rule no longer judged, its last
    bool up = false;       // risen, or cleared
};

struct CycleReport {
    const DeviceConfig* meter = nullptr;  // the configuration outlives every report
    CycleKind kind = CycleKind::poll;
    int cycle = 0;    // 0: the reload before the first cycle
    int planned = 0;  // cycles asked for; 0: until stopped
    double duration_ms = 0;
    Clock::time_point started_at{};
    Clock::time_point ended_at{};
    std::int64_t utc_ms = 0;  // when it ended, wall-clock milliseconds since the epoch
    std::string utc;          // the same, as every event carries it

    std::vector<unsigned char> record;  // as the device published it; empty when it published none
    std::uint32_t record_id = 0;        // the data id it published the record under
    bool delayed = false;               // published to be sent later (SendDelayData)
    std::vector<unsigned char> stored;  // as it stored it in its history; empty when it stored none
    std::vector<Quantity> quantities;   // the record decoded, once, for every outlet
    std::vector<AlarmOutcome> alarms;   // its threshold reports, in the order it made them
    std::vector<AlarmChange> alarm_changes;  // poll cycles only: rises and clears against the last one
    std::string snapshot_text;               // command 801's answer after the cycle
    Json::Value snapshot;                    // the same as a JSON object; an empty one when it is none
    std::vector<RequestTrouble> troubled;    // every request that needed a retry or failed
    std::vector<ReadBlock> read;         // the registers each answered read of the cycle brought, in order
    MeterHealth health;                      // the meter's, after this cycle

    bool Published() const { return !record.empty(); }
    // The quantity whose high register is `high_register`, or none.
    const Quantity* QuantityAt(int high_register) const;
    // How old its values are at `now`: a poll cycle's are as old as its end;
    // a reload's or a failed cycle's are no current values at all.
    Freshness FreshnessAt(Clock::time_point now) const;
};

struct WriteReport {
    const DeviceConfig* meter = nullptr;
    int cycle = 0;                     // the cycle after which it was carried out
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::int32_t status = 0;           // the device's write status afterwards
    std::string by;                    // who asked: "login anna", "MQTT", "the command line", ...
    std::vector<RequestTrouble> troubled;
    MeterHealth health;
    std::string utc;
};

struct BackoffReport {
    const DeviceConfig* meter = nullptr;
    int cycle = 0;
    int failures = 0;    // failed cycles in a row
    int next_cycle = 0;  // tried again then
};

struct MeterSummary {
    const DeviceConfig* meter = nullptr;
    MeterHealth health;
};

// One line's end: what it polled and how its meters fared.
struct RunSummary {
    LineInfo line;
    int cycles = 0;
    int skipped_slots = 0;
    std::vector<MeterSummary> meters;
};

// A meter's latest, as the outlets that answer questions keep it (the page,
// /metrics, the Modbus server).
struct MeterState {
    const DeviceConfig* config = nullptr;  // name, data id, slave, thresholds
    const LineInfo* line = nullptr;        // the line it is on
    // The latest completed poll cycle, or until then the record reloaded at
    // start (which has no time of its own); null before either.
    std::shared_ptr<const CycleReport> shown;
    std::optional<Clock::time_point> completed_at;  // of the latest completed poll cycle
    MeterHealth health;                             // after its latest cycle or write

    Freshness FreshnessAt(Clock::time_point now) const { return freshness_of(completed_at, now); }
    // The report `report` leaves: a completed cycle is shown, a reload only
    // until one is; every report brings its health.
    void Take(const std::shared_ptr<const CycleReport>& report);
};

// Meters' outcomes were let go by an outlet's full mailbox: the events and,
// among them, the records the devices stored.
struct Gap {
    std::size_t events = 0;
    std::size_t records = 0;
};

// An outlet: told every event of the run in order, on its own thread (see
// outlets.h). It never sees the poll loop, and no outlet knows another.
class Outlet {
public:
    virtual ~Outlet() = default;

    // What the run is: version, plug-in, lines, meters, simulators, outlets.
    virtual void Started(const Json::Value& facts) { (void)facts; }
    virtual void Cycle(const std::shared_ptr<const CycleReport>& report) { (void)report; }
    virtual void Wrote(const WriteReport& report) { (void)report; }
    virtual void BackingOff(const BackoffReport& report) { (void)report; }
    virtual void Recovered(const DeviceConfig& meter, int cycle) { (void)meter, (void)cycle; }
    // The line fell behind and left out `skipped` slots of its fixed rate.
    virtual void SlotsSkipped(const LineInfo& line, int cycle, int skipped) { (void)line, (void)cycle, (void)skipped; }
    // Every meter of the line has had its turn in the cycle.
    virtual void CycleOver(const LineInfo& line, int cycle) { (void)line, (void)cycle; }
    virtual void Problem(const std::string& text) { (void)text; }
    // A fault of an outlet's own side (the history's, its forwarding's), or
    // with `over` its end: a problem to most, an event to whom notifies.
    virtual void Fault(const std::string& text, bool over) { (void)over, Problem(text); }
    // A line has ended; the run goes on until every line has.
    virtual void LineEnded(const RunSummary& summary) { (void)summary; }
    // Once per run, after every line ended: the last event.
    virtual void Finished() {}
    // What this outlet's full mailbox let go since its last event.
    virtual void Missed(const Gap& gap) { (void)gap; }
};

// Where an outlet says what happened on its own side (a broker away, a busy
// history, a blocked output), once per change: the run tells every outlet.
class Notices {
public:
    virtual ~Notices() = default;
    virtual void Say(const std::string& text) = 0;
    // A fault of the outlet's own side, or with `over` its end.
    virtual void SayFault(const std::string& text, bool over) { (void)over, Say(text); }
};
