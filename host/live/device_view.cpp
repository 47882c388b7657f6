#include "host/live/device_view.h"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "host/core/write_request.h"
#include "host/meter_view/alarm_catalogue.h"
#include "host/meter_view/meter_readings.h"

namespace {

const std::vector<unsigned char> kNoRecord;

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// A quantity as the overview shows it: its column, label, unit and text.
Json::Value quantity_json(const MeterReading& reading, double value) {
    Json::Value q;
    q["column"] = reading.column;
    q["label"] = reading.label;
    q["unit"] = reading.unit;
    q["text"] = fixed(value, reading_decimals(reading));
    return q;
}

Json::Value quantities_json(const std::vector<unsigned char>& record) {
    Json::Value quantities(Json::arrayValue);
    for (const MeterReading& reading : kMeterReadings) {
        const std::optional<double> value = decode_reading(record, reading);
        if (!value) continue;
        Json::Value q = quantity_json(reading, *value);
        q["name"] = reading.chinese_name;
        q["register"] = reading.high_register;
        q["decimals"] = reading_decimals(reading);
        q["value"] = *value;
        quantities.append(q);
    }
    return quantities;
}

const AlarmReport* reported(const LiveMeter& meter, const std::string& key) {
    // Only a completed poll cycle's reports are outcomes to show.
    if (!meter.shown || meter.shown->kind != CycleKind::poll) return nullptr;
    for (const AlarmReport& report : meter.shown->alarms) {
        if (report.alarm_key == key) return &report;
    }
    return nullptr;
}

Json::Value alarms_json(const LiveMeter& meter) {
    Json::Value rules(Json::arrayValue);
    const std::vector<unsigned char>& record = meter.shown ? meter.shown->record : kNoRecord;
    for (const AlarmRuleView& rule : kAlarmCatalogue) {
        Json::Value r;
        r["key"] = rule.key;
        r["text"] = rule.text;
        r["direction"] = rule.high ? "high" : "low";
        if (const MeterReading* reading = reading_at(rule.high_register)) {
            r["label"] = std::string(reading->label) + (rule.high ? " above" : " below") + " threshold";
            r["unit"] = reading->unit;
            if (const auto value = decode_reading(record, *reading)) {
                r["value"] = *value;
                r["value_text"] = fixed(*value, reading_decimals(*reading));
            }
        }
        const auto& thresholds = meter.config->thresholds;
        const auto threshold = thresholds.find(rule.key);
        r["level"] = threshold == thresholds.end() ? 0 : threshold->second.level;
        r["threshold"] = threshold == thresholds.end() ? Json::Value() : Json::Value(threshold->second.value);
        // A rule at level 0 or outside threshold mode 2 is not judged at all.
        if (const AlarmReport* report = reported(meter, rule.key)) {
            r["state"] = report->state ? "up" : "normal";
            r["reported_value"] = report->value_text;
            r["reported_level"] = report->level;
        } else {
            r["state"] = "not evaluated";
        }
        rules.append(r);
    }
    return rules;
}

// What the site's overview shows of each meter: the quantities a panel is
// read by at a glance, by their high registers: phase voltages, currents,
// total active power and power factor, frequency, imported energy.
constexpr int kGlanceRegisters[] = {1806, 1808, 1810, 1792, 1794, 1796, 1814, 1820, 1812, 1880};

Json::Value glance_json(const std::vector<unsigned char>& record) {
    Json::Value glance(Json::arrayValue);
    for (const int high_register : kGlanceRegisters) {
        const MeterReading& reading = *reading_at(high_register);
        if (const std::optional<double> value = decode_reading(record, reading)) glance.append(quantity_json(reading, *value));
    }
    return glance;
}

Json::Value alarms_up_json(const LiveMeter& meter) {
    if (!meter.evaluates_alarms || !meter.shown || meter.shown->kind != CycleKind::poll) return Json::Value();
    int up = 0;
    for (const AlarmReport& report : meter.shown->alarms) up += report.state ? 1 : 0;
    return up;
}

}  // namespace

Json::Value meter_glance_json(const LiveMeter& meter) {
    Json::Value glance = meter_summary_json(meter);
    glance["cycle"] = meter.completed_at ? meter.shown->cycle : 0;
    glance["glance"] = glance_json(meter.shown ? meter.shown->record : kNoRecord);
    glance["alarms_up"] = alarms_up_json(meter);
    return glance;
}

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

Json::Value health_json(const LiveMeter& meter) {
    const MeterHealth& h = meter.health;
    Json::Value health;
    health["completed"] = h.completed;
    health["failed"] = h.failed;
    health["retries"] = h.retries;
    health["mean_cycle_ms"] = h.completed > 0 ? Json::Value(h.MeanCycleMs()) : Json::Value();
    health["wire_limit_ms"] = meter.wire_limit_ms > 0 ? Json::Value(meter.wire_limit_ms) : Json::Value();
    health["last_cycle"] = meter.completed_at ? meter.shown->cycle : 0;
    health["last_cycle_failed"] = meter.last_cycle_failed;
    health["backed_off_until_cycle"] = h.backed_off_until > 0 ? Json::Value(h.backed_off_until) : Json::Value();
    if (h.last_error.empty()) {
        health["last_error"] = Json::Value();
    } else {
        health["last_error"]["text"] = h.last_error;
        health["last_error"]["utc"] = h.last_error_utc;
    }
    return health;
}

Json::Value meter_summary_json(const LiveMeter& meter) {
    Json::Value summary;
    summary["id"] = meter.config->data_id;
    summary["name"] = meter.config->name;
    summary["slave"] = meter.config->slave;
    summary["line"] = meter.config->line;
    summary["data_id"] = meter.config->data_id;
    summary["health"] = health_json(meter);
    return summary;
}

Json::Value meter_detail_json(const LiveMeter& meter, bool writes_allowed) {
    Json::Value detail = meter_summary_json(meter);
    const bool completed = meter.completed_at.has_value();
    detail["cycle"] = completed ? meter.shown->cycle : 0;
    detail["cycle_utc"] = completed ? Json::Value(meter.shown->utc) : Json::Value();
    detail["threshold_mode_2"] = meter.evaluates_alarms;
    detail["snapshot"] = completed ? meter.shown->snapshot : Json::Value(Json::objectValue);
    detail["quantities"] = quantities_json(meter.shown ? meter.shown->record : kNoRecord);
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
