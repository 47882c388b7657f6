// What the bench host reports: the controller-side effects a device asks
// for (HostSink) and the host's own events, each with a quiet default so a
// sink overrides only what it shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include <sstream>

#include "host/qmxhost/modbus_line.h"
#include "host/runtime/host_sink.h"

// Why a record is being stored: a poll cycle's, or one handed back from the
// history at start.
enum class RecordKind { poll, reload };

struct CycleFacts {
    int cycle = 0;
    int planned = 0;  // cycles asked for; 0: until interrupted
    double milliseconds = 0;
};

// The snapshot text a cycle ends with, as a JSON object; an empty object
// when the device's text is none.
inline Json::Value snapshot_object(const std::string& snapshot_text) {
    Json::Value value;
    std::string errors;
    std::istringstream in(snapshot_text);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors) || !value.isObject()) {
        return Json::Value(Json::objectValue);
    }
    return value;
}

class ReportSink : public HostSink {
public:
    virtual void Started(const Json::Value& facts) { (void)facts; }
    virtual void StoringAs(RecordKind kind) { (void)kind; }
    virtual void CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) {
        (void)device, (void)facts, (void)snapshot_text;
    }
    // A cycle that ended without a published record.
    virtual void CycleFailed(const QMXVDevice& device, int cycle) { (void)device, (void)cycle; }
    // Every exchange that needed more than one attempt or failed.
    virtual void ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) {
        (void)device, (void)cycle, (void)exchange;
    }
    // The device's write status after a write of `words` (the first register, then the values).
    virtual void WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) {
        (void)device, (void)status, (void)words;
    }
    virtual void Reloaded(const QMXVDevice& device, bool taken) { (void)device, (void)taken; }
    // The meter is skipped until `next_cycle` after `failures` failed cycles in a row.
    virtual void BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) {
        (void)device, (void)cycle, (void)failures, (void)next_cycle;
    }
    virtual void Recovered(const QMXVDevice& device, int cycle) { (void)device, (void)cycle; }
    // The poll loop fell behind and left out `skipped` slots of its fixed rate.
    virtual void SlotsSkipped(int cycle, int skipped) { (void)cycle, (void)skipped; }
    virtual void Problem(const std::string& text) { (void)text; }
    virtual void Summary(const Json::Value& summary, const std::string& for_people) {
        (void)summary, (void)for_people;
    }
};
