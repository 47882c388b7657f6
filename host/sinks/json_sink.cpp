#include "host/sinks/json_sink.h"

#include <json/writer.h>

#include "host/common/json_text.h"
#include "host/report/report_json.h"


namespace {

std::string hex(const std::vector<unsigned char>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : data) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

Json::Value summary_json(const RunSummary& summary) {
    Json::Value json;
    const LineSettings& line = *summary.line.settings;
    if (line.IsTcp()) {
        json["tcp"] = line.Name();
    } else {
        json["port"] = line.port;
        json["wire_limit_ms"] = summary.line.wire_limit_ms;
    }
    json["line"] = summary.line.name;
    json["cycles"] = summary.cycles;
    json["skipped_slots"] = summary.skipped_slots;
    json["devices"] = Json::Value(Json::arrayValue);
    for (const MeterSummary& meter : summary.meters) {
        Json::Value device = health_json(meter.health);
        device["device"] = meter.meter->data_id;
        device["slave"] = meter.meter->slave;
        json["devices"].append(device);
    }
    return json;
}

}  // namespace

void JsonSink::Emit(const char* kind, Json::Value event, const std::string& utc) {
    event["event"] = kind;
    event["utc"] = utc.empty() ? utc_timestamp() : utc;
    out_.Write(compact_json(event) + "\n");
}

void JsonSink::Started(const Json::Value& facts) { Emit("start", facts); }

void JsonSink::Troubles(const std::vector<RequestTrouble>& troubled, int cycle, std::uint32_t data_id) {
    for (const RequestTrouble& trouble : troubled) {
        Emit(trouble.answered ? "retried" : "error", trouble_json(data_id, cycle, trouble));
    }
}

// Every rule's outcome at the meter's first poll cycle (and after events
// were missed), then each rule when it changes. The members the first
// releases wrote (alarm_key, alarm_text, state, ...) stay beside the new.
void JsonSink::Alarms(const CycleReport& report) {
    const std::uint32_t data_id = report.meter->data_id;
    const auto emit = [&](const AlarmOutcome& outcome, bool up) {
        Json::Value event = alarm_json(outcome, up);
        event["device"] = data_id;
        event["cycle"] = report.cycle;
        event["alarm_key"] = outcome.key;
        event["alarm_text"] = outcome.text;
        event["value_text"] = outcome.value_text;
        event["signal_key"] = outcome.signal_key;
        event["state"] = up;
        event["count"] = outcome.count;
        Emit("alarm", event, report.utc);
    };
    if (alarms_told_.insert(data_id).second) {
        for (const AlarmOutcome& outcome : report.alarms) emit(outcome, outcome.up);
        return;
    }
    for (const AlarmChange& change : report.alarm_changes) emit(change.outcome, change.up);
}

// What the device did at the end of its cycle: publish, store.
void JsonSink::Record(const CycleReport& report) {
    const std::uint32_t data_id = report.meter->data_id;
    const char* kind = report.kind == CycleKind::reload ? "reload" : "poll";
    if (report.Published()) {
        Json::Value event;
        event["device"] = data_id;
        event["line"] = report.meter->line;
        event["slave"] = report.meter->slave;
        event["data_id"] = report.record_id;
        event["length"] = static_cast<int>(report.record.size());
        event["delayed"] = report.delayed;
        event["kind"] = kind;
        event["record"] = hex(report.record);
        Emit("publish", event, report.utc);
    }
    if (!report.stored.empty()) {
        Json::Value event;
        event["device"] = data_id;
        event["length"] = static_cast<int>(report.stored.size());
        event["kind"] = kind;
        Emit("history", event, report.utc);
    }
}

void JsonSink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    const std::uint32_t data_id = report->meter->data_id;
    Troubles(report->troubled, report->cycle, data_id);
    Record(*report);
    if (report->kind == CycleKind::reload) {
        Json::Value event;
        event["device"] = data_id;
        event["taken"] = report->Published();
        Emit("reload", event, report->utc);
        return;
    }
    if (report->kind != CycleKind::poll) return;
    Alarms(*report);
    Json::Value cycle;
    cycle["device"] = data_id;
    cycle["cycle"] = report->cycle;
    cycle["duration_ms"] = report->duration_ms;
    Emit("cycle", cycle, report->utc);
    Json::Value snapshot;
    snapshot["device"] = data_id;
    snapshot["cycle"] = report->cycle;
    snapshot["snapshot"] = report->snapshot;
    Emit("snapshot", snapshot, report->utc);
}

void JsonSink::Wrote(const WriteReport& report) {
    Troubles(report.troubled, report.cycle, report.meter->data_id);
    Emit("write_status", write_json(report), report.utc);
}

void JsonSink::BackingOff(const BackoffReport& report) { Emit("backoff", backoff_json(report)); }

void JsonSink::Recovered(const DeviceConfig& meter, int cycle) { Emit("recovered", recovered_json(meter, cycle)); }

void JsonSink::SlotsSkipped(const LineInfo& line, int cycle, int skipped) {
    Json::Value event;
    event["line"] = line.name;
    event["cycle"] = cycle;
    event["skipped"] = skipped;
    Emit("slots_skipped", event);
}

void JsonSink::Problem(const std::string& text) {
    Json::Value event;
    event["message"] = text;
    Emit("problem", event);
}

void JsonSink::LineEnded(const RunSummary& summary) { Emit("summary", summary_json(summary)); }

// Said on the output it concerns, should it take lines again; the writer
// says it on standard error as well.
void JsonSink::Finished() {
    if (const std::size_t lost = out_.lost(); lost > 0) Problem(std::to_string(lost) + " lines not written: stdout blocked");
}

void JsonSink::Missed(const Gap& gap) {
    Json::Value event;
    event["events"] = static_cast<Json::UInt64>(gap.events);
    Emit("missed", event);
    alarms_told_.clear();
}
