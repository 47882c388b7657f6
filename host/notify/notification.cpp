#include "host/notify/notification.h"

#include <array>

#include "host/common/clock.h"
#include "host/common/json_text.h"
#include "host/report/report_json.h"

namespace {

Json::Value event_of(const char* kind, const char* change, std::int64_t utc_ms, const std::string& message) {
    Json::Value event(Json::objectValue);
    event["event"] = kind;
    event["change"] = change;
    event["utc"] = utc_text(utc_ms);
    event["message"] = message;
    return event;
}

void put_meter(Json::Value& event, const DeviceConfig& meter) {
    event["meter"] = meter.name;
    event["line"] = meter.line;
    event["slave"] = meter.slave;
    event["device"] = meter.data_id;
}

std::string where(const DeviceConfig& meter) {
    return meter.name + " (" + meter.line + ", slave " + std::to_string(meter.slave) + ")";
}

// A member's text as it goes inside a JSON string: its quotes taken off.
std::string json_string_inside(const std::string& text) {
    const std::string quoted = compact_json(Json::Value(text));
    return quoted.substr(1, quoted.size() - 2);
}

bool is_json(const std::string& content_type) { return content_type.find("json") != std::string::npos; }

}  // namespace

Notification alarm_notification(const DeviceConfig& meter, const AlarmOutcome& outcome, bool up, std::int64_t utc_ms) {
    Notification n{kNotifyAlarms, event_of("alarm", up ? "rise" : "clear", utc_ms,
                                           where(meter) + (up ? ": ALARM " : ": alarm cleared ") + alarm_text(outcome))};
    put_meter(n.event, meter);
    const Json::Value rule = alarm_json(outcome, up);
    for (const std::string& name : rule.getMemberNames()) n.event["rule"][name] = rule[name];
    return n;
}

Notification meter_notification(const DeviceConfig& meter, bool failing, const std::string& why, int cycle,
                                std::int64_t utc_ms) {
    Notification n{kNotifyMeters, event_of("meter", failing ? "failing" : "answering", utc_ms,
                                           where(meter) + (failing ? ": failing: " + why : ": answering again"))};
    put_meter(n.event, meter);
    n.event["cycle"] = cycle;
    return n;
}

Notification fault_notification(const std::string& text, bool over, std::int64_t utc_ms) {
    return Notification{kNotifyFaults, event_of("fault", over ? "over" : "began", utc_ms, text)};
}

std::string notification_body(const NotifyTarget& target, const Notification& notification) {
    const Json::Value& event = notification.event;
    if (target.body.empty()) return compact_json(event);
    const bool json = is_json(target.content_type);
    const auto member = [&](const char* name) {
        const Json::Value& value = event[name];
        const std::string text = value.isString() ? value.asString() : value.isNull() ? "" : compact_json(value);
        return json ? json_string_inside(text) : text;
    };
    static constexpr std::array<const char*, 8> kNames = {"message", "event", "change", "meter", "line", "utc", "host", "id"};
    std::string body;
    body.reserve(target.body.size() + 256);
    for (std::size_t at = 0; at < target.body.size();) {
        bool filled = false;
        if (target.body[at] == '{') {
            if (target.body.compare(at, 6, "{json}") == 0) {
                body += compact_json(event);
                at += 6;
                continue;
            }
            for (const char* name : kNames) {
                const std::string placeholder = std::string("{") + name + "}";
                if (target.body.compare(at, placeholder.size(), placeholder) != 0) continue;
                body += member(name);
                at += placeholder.size();
                filled = true;
                break;
            }
        }
        if (!filled) body += target.body[at++];
    }
    return body;
}
