#include "host/live/device_view.h"

#include <algorithm>
#include <cmath>

#include "host/config/write_request.h"
#include "host/meter_view/meter_map.h"
#include "host/report/report_json.h"

namespace {

const std::vector<Quantity> kNoQuantities;

const std::vector<Quantity>& quantities_of(const LiveMeter& meter) {
    return meter.shown ? meter.shown->quantities : kNoQuantities;
}

// Only a completed poll cycle's reports are outcomes to show.
const AlarmOutcome* reported(const LiveMeter& meter, const std::string& key) {
    if (!meter.shown || meter.shown->kind != CycleKind::poll) return nullptr;
    for (const AlarmOutcome& outcome : meter.shown->alarms) {
        if (outcome.key == key) return &outcome;
    }
    return nullptr;
}

// Every rule of the catalogue, judged or not, in the one alarm shape, with
// what the page shows beside it.
Json::Value rules_json(const LiveMeter& meter) {
    Json::Value rules(Json::arrayValue);
    for (const AlarmRuleView& rule : kAlarmCatalogue) {
        const AlarmOutcome* outcome = reported(meter, rule.key);
        AlarmOutcome shown;
        if (outcome != nullptr) {
            shown = *outcome;
        } else {
            // Not judged (level 0, or not threshold mode 2): described all the same.
            shown.key = rule.key;
            shown.text = rule.text;
            shown.rule = &rule;
            shown.reading = reading_at(rule.high_register);
            if (const auto threshold = meter.config->thresholds.find(rule.key); threshold != meter.config->thresholds.end()) {
                shown.threshold = threshold->second.value;
            }
            for (const Quantity& quantity : quantities_of(meter)) {
                if (quantity.reading == shown.reading) shown.value = quantity.value;
            }
        }
        Json::Value r = alarm_json(shown, outcome != nullptr && outcome->up);
        const auto level = meter.config->thresholds.find(rule.key);
        r["level"] = level == meter.config->thresholds.end() ? 0 : level->second.level;
        r["direction"] = rule.high ? "high" : "low";
        for (const Quantity& quantity : quantities_of(meter)) {
            if (quantity.reading == shown.reading) r["value_text"] = quantity.Text();
        }
        r["state"] = outcome == nullptr ? "not evaluated" : outcome->up ? "up" : "normal";
        if (outcome != nullptr) {
            r["reported_value"] = outcome->value_text;
            r["reported_level"] = outcome->level;
        }
        rules.append(r);
    }
    return rules;
}

// What the site's overview shows of each meter: the quantities a panel is
// read by at a glance, in the order the meter view's table gives them.
Json::Value glance_json(const std::vector<Quantity>& quantities) {
    std::vector<const Quantity*> shown;
    for (const Quantity& quantity : quantities) {
        if (quantity.reading->glance > 0) shown.push_back(&quantity);
    }
    std::sort(shown.begin(), shown.end(),
              [](const Quantity* a, const Quantity* b) { return a->reading->glance < b->reading->glance; });
    Json::Value glance(Json::arrayValue);
    for (const Quantity* quantity : shown) glance.append(quantity_json(*quantity));
    return glance;
}

Json::Value alarms_up_json(const LiveMeter& meter) {
    if (!meter.evaluates_alarms || !meter.shown || meter.shown->kind != CycleKind::poll) return Json::Value();
    int up = 0;
    for (const AlarmOutcome& outcome : meter.shown->alarms) up += outcome.up ? 1 : 0;
    return up;
}

}  // namespace

Json::Value freshness_json(const Freshness& freshness) {
    Json::Value json;
    json["age_s"] = freshness.age_s ? Json::Value(std::round(*freshness.age_s * 10) / 10) : Json::Value();
    json["stale"] = freshness.stale;
    return json;
}

Json::Value meter_summary_json(const LiveMeter& meter) {
    Json::Value summary = meter_json(*meter.config);
    summary["health"] = health_json(meter.health);
    summary["health"]["wire_limit_ms"] = meter.line->wire_limit_ms > 0 ? Json::Value(meter.line->wire_limit_ms) : Json::Value();
    return summary;
}

Json::Value meter_glance_json(const LiveMeter& meter) {
    Json::Value glance = meter_summary_json(meter);
    glance["cycle"] = meter.health.last_completed;
    glance["glance"] = glance_json(quantities_of(meter));
    glance["alarms_up"] = alarms_up_json(meter);
    return glance;
}

Json::Value meter_detail_json(const LiveMeter& meter, bool writes_allowed) {
    Json::Value detail = meter_summary_json(meter);
    const bool completed = meter.completed_at.has_value();
    detail["cycle"] = meter.health.last_completed;
    detail["cycle_utc"] = completed ? Json::Value(meter.shown->utc) : Json::Value();
    detail["threshold_mode_2"] = meter.evaluates_alarms;
    detail["snapshot"] = completed ? meter.shown->snapshot : Json::Value(Json::objectValue);
    detail["quantities"] = quantities_json(quantities_of(meter));
    detail["alarms"] = rules_json(meter);
    detail["write"]["allowed"] = writes_allowed;
    Json::Value& documented = detail["write"]["documented"] = Json::Value(Json::arrayValue);
    for (const WritableRegister& reg : kWritableRegisters) {
        Json::Value& one = documented.append(Json::Value(Json::objectValue));
        one["address"] = reg.address;
        one["label"] = reg.label;
    }
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
