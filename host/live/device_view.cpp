#include "host/live/device_view.h"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "alarms/alarm_rules.h"
#include "host/qmxhost/meter_readings.h"
#include "host/qmxhost/write_request.h"

namespace {

const MeterReading* reading_at(int high_register) {
    for (const MeterReading& reading : kMeterReadings) {
        if (reading.high_register == high_register) return &reading;
    }
    return nullptr;
}

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

Json::Value quantities_json(const std::vector<unsigned char>& record) {
    Json::Value quantities(Json::arrayValue);
    for (const MeterReading& reading : kMeterReadings) {
        const std::optional<double> value = decode_reading(record, reading);
        if (!value) continue;
        Json::Value q;
        q["column"] = reading.column;
        q["label"] = reading.label;
        q["name"] = reading.chinese_name;
        q["register"] = reading.high_register;
        q["unit"] = reading.unit;
        q["decimals"] = reading_decimals(reading);
        q["value"] = *value;
        q["text"] = fixed(*value, reading_decimals(reading));
        quantities.append(q);
    }
    return quantities;
}

Json::Value alarms_json(const LiveMeter& meter) {
    Json::Value rules(Json::arrayValue);
    for (const AlarmRule& rule : kAlarmRules) {
        Json::Value r;
        r["key"] = rule.key;
        r["text"] = rule.text;
        r["direction"] = rule.direction == Direction::high ? "high" : "low";
        const MeterReading* reading = reading_at(rule.high_register);
        if (reading != nullptr) {
            r["label"] = std::string(reading->label) + (rule.direction == Direction::high ? " above" : " below") +
                         " threshold";
            r["unit"] = reading->unit;
            if (const auto value = decode_reading(meter.record, *reading)) {
                r["value"] = *value;
                r["value_text"] = fixed(*value, reading_decimals(*reading));
            }
        }
        const auto threshold = meter.thresholds.find(rule.key);
        r["level"] = threshold == meter.thresholds.end() ? 0 : threshold->second.level;
        r["threshold"] = threshold == meter.thresholds.end() ? Json::Value() : Json::Value(threshold->second.value);
        const auto report = meter.alarms.find(rule.key);
        // Only what the device reported in its last cycle is an outcome;
        // a rule at level 0 or outside threshold mode 2 is not judged at all.
        if (report == meter.alarms.end()) {
            r["state"] = "not evaluated";
        } else {
            r["state"] = report->second.state ? "up" : "normal";
            r["reported_value"] = report->second.value_text;
            r["reported_level"] = report->second.level;
        }
        rules.append(r);
    }
    return rules;
}

}  // namespace

Json::Value freshness_json(const std::optional<Clock::time_point>& completed_at, Clock::time_point now) {
    Json::Value freshness;
    if (!completed_at) {
        freshness["age_s"] = Json::Value();
        freshness["stale"] = true;
        return freshness;
    }
    const double age = std::chrono::duration<double>(now - *completed_at).count();
    freshness["age_s"] = std::round(age * 10) / 10;
    freshness["stale"] = age > kStaleAfterSeconds;
    return freshness;
}

Json::Value health_json(const LiveMeter& meter, double wire_limit_ms) {
    Json::Value health;
    health["completed"] = meter.completed;
    health["failed"] = meter.failed;
    health["retries"] = meter.retries;
    health["mean_cycle_ms"] = meter.completed > 0 ? Json::Value(meter.total_ms / meter.completed) : Json::Value();
    health["wire_limit_ms"] = wire_limit_ms > 0 ? Json::Value(wire_limit_ms) : Json::Value();
    health["last_cycle"] = meter.cycle;
    health["backed_off_until_cycle"] = meter.backed_off_until > 0 ? Json::Value(meter.backed_off_until) : Json::Value();
    if (meter.last_error.empty()) {
        health["last_error"] = Json::Value();
    } else {
        health["last_error"]["text"] = meter.last_error;
        health["last_error"]["utc"] = meter.last_error_utc;
    }
    return health;
}

Json::Value meter_summary_json(const LiveMeter& meter, double wire_limit_ms) {
    Json::Value summary;
    summary["id"] = meter.data_id;
    summary["name"] = meter.name;
    summary["slave"] = meter.slave;
    summary["data_id"] = meter.data_id;
    summary["health"] = health_json(meter, wire_limit_ms);
    return summary;
}

Json::Value meter_detail_json(const LiveMeter& meter, double wire_limit_ms, bool writes_allowed) {
    Json::Value detail = meter_summary_json(meter, wire_limit_ms);
    detail["cycle"] = meter.cycle;
    detail["cycle_utc"] = meter.completed_utc.empty() ? Json::Value() : Json::Value(meter.completed_utc);
    detail["threshold_mode_2"] = meter.evaluates_alarms;
    detail["snapshot"] = snapshot_object(meter.snapshot_text);
    detail["quantities"] = quantities_json(meter.record);
    detail["alarms"] = alarms_json(meter);
    detail["write"]["allowed"] = writes_allowed;
    if (meter.last_write && !meter.last_write->words.empty()) {
        Json::Value& last = detail["write"]["last"];
        put_written_registers(last, meter.last_write->words);
        last["status"] = meter.last_write->status;
        last["outcome"] = write_outcome_text(meter.last_write->status);
        last["utc"] = meter.last_write->utc;
    } else {
        detail["write"]["last"] = Json::Value();
    }
    return detail;
}
