// What the poll loop tells its outlets. A meter's cycle reaches every outlet
// as one CycleReport, made once and shared read-only, so that an outlet on
// another thread may keep it; the host's other events stay events. The
// poll loop knows its outlets only through this interface, and no outlet
// knows another.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/core/meter_config.h"
#include "host/core/meter_statistics.h"
#include "host/line/modbus_line.h"
#include "host/runtime/host_sink.h"

enum class CycleKind {
    poll,    // a poll cycle that ended with a published record
    reload,  // the newest stored record, handed back to the device at start
    failed,  // a poll cycle that ended without one
};

// A rule whose outcome differs from the meter's previous poll cycle.
struct AlarmChange {
    AlarmReport report;  // this cycle's; for a rule no longer judged, its last
    bool up;             // risen, or cleared
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
    std::vector<AlarmReport> alarms;    // its threshold reports, in the order it made them
    std::vector<AlarmChange> alarm_changes;  // poll cycles only: rises and clears against the last one
    std::string snapshot_text;               // command 801's answer after the cycle
    Json::Value snapshot;                    // the same as a JSON object; an empty one when it is none
    std::vector<Exchange> troubled;          // every request that needed a retry or failed
    std::vector<ReadAnswer> read;            // the registers each answered read of the cycle brought, in order
    MeterHealth health;                      // the meter's, after this cycle

    bool Published() const { return !record.empty(); }
};

// The snapshot text as a JSON object; an empty object when the text is none.
Json::Value snapshot_object(const std::string& snapshot_text);

// The events as the JSON lines and the live page's stream carry them.
// A request that needed a retry or failed: with its kind and message when it failed.
Json::Value exchange_json(std::uint32_t data_id, int cycle, const Exchange& exchange);
struct WriteReport;
struct BackoffReport;
Json::Value write_json(const WriteReport& report);
Json::Value backoff_json(const BackoffReport& report);
Json::Value recovered_json(const DeviceConfig& meter, int cycle);

struct WriteReport {
    const DeviceConfig* meter = nullptr;
    int cycle = 0;                     // the cycle after which it was carried out
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::int32_t status = 0;           // the device's write status afterwards
    std::vector<Exchange> troubled;
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

struct RunSummary {
    int cycles = 0;
    int skipped_slots = 0;
    const LineSettings* line = nullptr;
    double wire_limit_ms = 0;  // of one cycle; 0 over Modbus TCP
    std::vector<MeterSummary> meters;
};

class Outlet {
public:
    virtual ~Outlet() = default;

    // What the run is: version, plug-in, line, meters, simulator, outlets.
    virtual void Started(const Json::Value& facts) { (void)facts; }
    virtual void Cycle(const std::shared_ptr<const CycleReport>& report) { (void)report; }
    virtual void Wrote(const WriteReport& report) { (void)report; }
    virtual void BackingOff(const BackoffReport& report) { (void)report; }
    virtual void Recovered(const DeviceConfig& meter, int cycle) { (void)meter, (void)cycle; }
    // The poll loop fell behind and left out `skipped` slots of its fixed rate.
    virtual void SlotsSkipped(int cycle, int skipped) { (void)cycle, (void)skipped; }
    // Every meter has had its turn in the cycle, and the loop waits for the next.
    virtual void CycleOver(int cycle) { (void)cycle; }
    virtual void Problem(const std::string& text) { (void)text; }
    virtual void Finished(const RunSummary& summary) { (void)summary; }
    // What happened on the outlet's own side since the last call (a broker
    // away, a busy history), for the host to tell every outlet as a problem.
    virtual std::vector<std::string> TakeNotices() { return {}; }
};
