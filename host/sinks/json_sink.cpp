#include "host/sinks/json_sink.h"

#include <json/writer.h>


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

Json::Value spread_json(const Spread& s) {
    Json::Value value;
    value["min"] = s.min;
    value["median"] = s.median;
    value["p99"] = s.p99;
    value["max"] = s.max;
    value["mean"] = s.mean;
    return value;
}

Json::Value summary_json(const RunSummary& summary) {
    Json::Value json;
    const bool tcp = summary.line->IsTcp();
    if (tcp) {
        json["tcp"] = summary.line->tcp;
    } else {
        json["port"] = summary.line->port;
        json["wire_limit_ms"] = summary.wire_limit_ms;
    }
    json["cycles"] = summary.cycles;
    json["skipped_slots"] = summary.skipped_slots;
    json["devices"] = Json::Value(Json::arrayValue);
    for (const MeterSummary& meter : summary.meters) {
        const MeterHealth& h = meter.health;
        Json::Value device;
        device["device"] = meter.meter->data_id;
        device["slave"] = meter.meter->slave;
        device["completed"] = h.completed;
        device["failed"] = h.failed;
        device["skipped"] = h.skipped;
        device["retries"] = h.retries;
        device["mean_cycle_ms"] = h.MeanCycleMs();
        device["latency_ms"] = spread_json(h.latency);
        if (!tcp) {
            if (h.turnaround.count > 0) device["turnaround_ms"] = spread_json(h.turnaround);
            device["wire_ms"] = spread_json(h.wire);
        }
        for (const auto& [why, count] : h.failures) device["failures"][why] = count;
        json["devices"].append(device);
    }
    return json;
}

}  // namespace

void JsonSink::Emit(const char* kind, Json::Value event, const std::string& utc) {
    event["event"] = kind;
    event["utc"] = utc.empty() ? utc_timestamp() : utc;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    const std::string line = Json::writeString(builder, event) + "\n";
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void JsonSink::Started(const Json::Value& facts) { Emit("start", facts); }

void JsonSink::Troubles(const std::vector<Exchange>& troubled, int cycle, std::uint32_t data_id) {
    for (const Exchange& exchange : troubled) {
        Emit(exchange.outcome == Exchange::answered ? "retried" : "error", exchange_json(data_id, cycle, exchange));
    }
}

// What the device did at the end of its cycle: publish, alarm reports, store.
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
    for (const AlarmReport& alarm : report.alarms) {
        Json::Value event;
        event["device"] = data_id;
        event["level"] = alarm.level;
        event["alarm_key"] = alarm.alarm_key;
        event["signal_key"] = alarm.signal_key;
        event["alarm_text"] = alarm.alarm_text;
        event["value_text"] = alarm.value_text;
        event["state"] = alarm.state;
        event["count"] = alarm.count;
        Emit("alarm", event, report.utc);
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

void JsonSink::SlotsSkipped(int cycle, int skipped) {
    Json::Value event;
    event["cycle"] = cycle;
    event["skipped"] = skipped;
    Emit("slots_skipped", event);
}

void JsonSink::Problem(const std::string& text) {
    Json::Value event;
    event["message"] = text;
    Emit("problem", event);
}

void JsonSink::Finished(const RunSummary& summary) { Emit("summary", summary_json(summary)); }
