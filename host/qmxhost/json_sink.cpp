#include "host/qmxhost/json_sink.h"

#include <json/writer.h>

#include <memory>

#include "framework/qmx_vdevice.h"
#include "host/qmxhost/clock.h"
#include "host/qmxhost/write_request.h"

namespace {

std::string hex(const unsigned char* data, int length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace

void JsonSink::Emit(const char* kind, Json::Value event) {
    event["event"] = kind;
    event["utc"] = utc_timestamp();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    const std::string line = Json::writeString(builder, event) + "\n";
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void JsonSink::Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                         bool delayed) {
    Json::Value event;
    event["device"] = device.DataId();
    event["data_id"] = data_id;
    event["length"] = length;
    event["delayed"] = delayed;
    event["kind"] = kind_ == RecordKind::poll ? "poll" : "reload";
    event["record"] = hex(data, length);
    Emit("publish", event);
}

void JsonSink::HistoryStored(const QMXVDevice& device, const unsigned char*, int length) {
    Json::Value event;
    event["device"] = device.DataId();
    event["length"] = length;
    event["kind"] = kind_ == RecordKind::poll ? "poll" : "reload";
    Emit("history", event);
}

void JsonSink::AlarmReported(const QMXVDevice& device, const AlarmCall& report) {
    Json::Value event;
    event["device"] = device.DataId();
    event["level"] = report.level;
    event["alarm_key"] = report.alarm_key;
    event["signal_key"] = report.signal_key;
    event["alarm_text"] = report.alarm_text;
    event["value_text"] = report.value_text;
    event["state"] = report.state;
    event["count"] = report.count;
    Emit("alarm", event);
}

void JsonSink::Started(const Json::Value& facts) { Emit("start", facts); }

void JsonSink::CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) {
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = facts.cycle;
    event["duration_ms"] = facts.milliseconds;
    Emit("cycle", event);
    Json::Value snapshot;
    snapshot["device"] = device.DataId();
    snapshot["cycle"] = facts.cycle;
    snapshot["snapshot"] = snapshot_object(snapshot_text);
    Emit("snapshot", snapshot);
}

void JsonSink::ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) {
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    event["request"] = exchange.request;
    event["attempts"] = exchange.attempts;
    if (exchange.outcome == Exchange::answered) {
        Emit("retried", event);
        return;
    }
    event["kind"] = outcome_name(exchange.outcome);
    event["message"] = exchange.message;
    Emit("error", event);
}

void JsonSink::WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) {
    Json::Value event;
    event["device"] = device.DataId();
    event["status"] = status;
    event["outcome"] = write_outcome_text(status);
    put_written_registers(event, words);
    Emit("write_status", event);
}

void JsonSink::Reloaded(const QMXVDevice& device, bool taken) {
    Json::Value event;
    event["device"] = device.DataId();
    event["taken"] = taken;
    Emit("reload", event);
}

void JsonSink::BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) {
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    event["failed_in_a_row"] = failures;
    event["next_cycle"] = next_cycle;
    Emit("backoff", event);
}

void JsonSink::Recovered(const QMXVDevice& device, int cycle) {
    Json::Value event;
    event["device"] = device.DataId();
    event["cycle"] = cycle;
    Emit("recovered", event);
}

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

void JsonSink::Summary(const Json::Value& summary, const std::string&) { Emit("summary", summary); }
