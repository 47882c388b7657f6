#include "host/report/report.h"

#include <json/reader.h>

#include <iomanip>
#include <locale>
#include <sstream>

#include "host/config/settings.h"
#include "host/config/write_request.h"
#include "host/meter_view/meter_map.h"
#include "host/report/report_json.h"

LineInfo describe_line(std::size_t index, std::string name, const LineConfig& config) {
    LineInfo line;
    line.index = index;
    line.name = std::move(name);
    line.settings = &config.line;
    // Over TCP the gateway's own line sets the pace, and this host knows nothing of it.
    line.wire_limit_ms = config.line.IsTcp() ? 0.0 : cycle_wire_limit_ms(config.line.baud, config.line.BitsPerCharacter());
    for (const DeviceConfig& device : config.devices) line.meters.push_back(&device);
    return line;
}

const Quantity* CycleReport::QuantityAt(int high_register) const {
    for (const Quantity& quantity : quantities) {
        if (quantity.reading->high_register == high_register) return &quantity;
    }
    return nullptr;
}

Freshness CycleReport::FreshnessAt(Clock::time_point now) const {
    if (kind != CycleKind::poll) return {};
    return freshness_of(ended_at, now);
}

void MeterState::Take(const std::shared_ptr<const CycleReport>& report) {
    health = report->health;
    if (report->kind == CycleKind::poll) {
        shown = report;
        completed_at = report->ended_at;
    } else if (report->kind == CycleKind::reload && report->Published() && !completed_at) {
        shown = report;
    }
}

Json::Value snapshot_object(const std::string& snapshot_text) {
    Json::Value value;
    std::string errors;
    std::istringstream in(snapshot_text);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors) || !value.isObject()) {
        return Json::Value(Json::objectValue);
    }
    return value;
}

Json::Value quantity_json(const Quantity& quantity) {
    const MeterReading& reading = *quantity.reading;
    Json::Value q;
    q["column"] = reading.column;
    q["label"] = reading.label;
    q["name"] = reading.chinese_name;
    q["unit"] = reading.unit;
    q["register"] = reading.high_register;
    q["decimals"] = quantity.decimals();
    q["value"] = quantity.value;
    q["text"] = quantity.Text();
    return q;
}

Json::Value quantities_json(const std::vector<Quantity>& quantities) {
    Json::Value all(Json::arrayValue);
    for (const Quantity& quantity : quantities) all.append(quantity_json(quantity));
    return all;
}

namespace {

template <typename T>
Json::Value or_null(const std::optional<T>& value) {
    return value ? Json::Value(*value) : Json::Value();
}

}  // namespace

Json::Value alarm_json(const AlarmOutcome& outcome, bool up) {
    Json::Value alarm;
    alarm["key"] = outcome.key;
    alarm["text"] = outcome.text;
    alarm["label"] = outcome.rule != nullptr ? Json::Value(outcome.rule->Label()) : Json::Value();
    alarm["level"] = outcome.level;
    alarm["threshold"] = or_null(outcome.threshold);
    alarm["value"] = or_null(outcome.value);
    alarm["compared"] = outcome.compared ? Json::Value(static_cast<Json::Int64>(*outcome.compared)) : Json::Value();
    alarm["unit"] = outcome.reading != nullptr ? Json::Value(outcome.reading->unit) : Json::Value();
    alarm["up"] = up;
    return alarm;
}

std::string alarm_text(const AlarmOutcome& outcome) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << (outcome.rule != nullptr ? outcome.rule->Label() : outcome.key) << ": ";
    if (outcome.value && outcome.reading != nullptr) {
        text << std::fixed << std::setprecision(reading_decimals(*outcome.reading)) << *outcome.value
             << (*outcome.reading->unit != '\0' ? " " : "") << outcome.reading->unit << ", compared as ";
    } else {
        text << "value ";
    }
    text << outcome.value_text << std::defaultfloat << std::setprecision(7);
    if (outcome.threshold) text << ", threshold " << *outcome.threshold;
    text << ", level " << outcome.level << " (" << outcome.text << ")";
    return text.str();
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

Json::Value health_json(const MeterHealth& h) {
    Json::Value health;
    health["completed"] = h.completed;
    health["failed"] = h.failed;
    health["skipped"] = h.skipped;
    health["retries"] = h.retries;
    health["mean_cycle_ms"] = h.completed > 0 ? Json::Value(h.MeanCycleMs()) : Json::Value();
    health["last_cycle"] = h.last_completed;
    health["last_cycle_failed"] = h.last_cycle_failed;
    health["backed_off_until_cycle"] = h.backed_off_until > 0 ? Json::Value(h.backed_off_until) : Json::Value();
    if (h.last_error.empty()) {
        health["last_error"] = Json::Value();
    } else {
        health["last_error"]["text"] = h.last_error;
        health["last_error"]["utc"] = h.last_error_utc;
    }
    health["failures"] = Json::Value(Json::objectValue);
    for (const auto& [why, count] : h.failures) health["failures"][why] = count;
    health["latency_ms"] = spread_json(h.latency);
    // Wire time is a serial line's; turn-around needs frames that take it.
    if (h.wire.count > 0) health["wire_ms"] = spread_json(h.wire);
    if (h.turnaround.count > 0) health["turnaround_ms"] = spread_json(h.turnaround);
    return health;
}

Json::Value meter_json(const DeviceConfig& meter) {
    Json::Value json;
    json["id"] = meter.data_id;
    json["name"] = meter.name;
    json["slave"] = meter.slave;
    json["line"] = meter.line;
    json["data_id"] = meter.data_id;
    return json;
}

Json::Value trouble_json(std::uint32_t data_id, int cycle, const RequestTrouble& trouble) {
    Json::Value event;
    event["device"] = data_id;
    event["cycle"] = cycle;
    event["request"] = trouble.request;
    event["attempts"] = trouble.attempts;
    if (!trouble.answered) {
        event["kind"] = trouble.kind;
        event["message"] = trouble.message;
    }
    return event;
}

Json::Value write_json(const WriteReport& report) {
    Json::Value event;
    event["device"] = report.meter->data_id;
    put_written_registers(event, report.words);
    event["status"] = report.status;
    event["outcome"] = write_outcome_text(report.status);
    event["by"] = report.by;
    return event;
}

Json::Value backoff_json(const BackoffReport& report) {
    Json::Value event;
    event["device"] = report.meter->data_id;
    event["cycle"] = report.cycle;
    event["failed_in_a_row"] = report.failures;
    event["next_cycle"] = report.next_cycle;
    return event;
}

Json::Value recovered_json(const DeviceConfig& meter, int cycle) {
    Json::Value event;
    event["device"] = meter.data_id;
    event["cycle"] = cycle;
    return event;
}
