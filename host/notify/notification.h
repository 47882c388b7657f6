// What a web hook is told, made once per event for every hook: the event
// as our JSON, and the same filled into a hook's own body template.
#pragma once

#include <json/value.h>

#include <string>

#include "host/config/settings.h"
#include "host/report/report.h"

struct Notification {
    NotifyEvent kind{};
    // "event", "change", "id", "utc", "host", "message" (in English) and the
    // event's own members (the meter, the rule).
    Json::Value event;
};

// An alarm rule's rise or clear; a meter failing (`why`) or answering again.
Notification alarm_notification(const DeviceConfig& meter, const AlarmOutcome& outcome, bool up, std::int64_t utc_ms);
Notification meter_notification(const DeviceConfig& meter, bool failing, const std::string& why, int cycle,
                                std::int64_t utc_ms);
Notification fault_notification(const std::string& text, bool over, std::int64_t utc_ms);

// The body posted to `target`: the event as JSON, or the target's template
// with {message}, {event}, {change}, {meter}, {line}, {utc}, {host}, {id}
// filled in (escaped for a JSON string when the body is JSON) and {json}
// as the whole event. Anything else in braces stays as written.
std::string notification_body(const NotifyTarget& target, const Notification& notification);
