#include <stdexcept>
#include <string>

#include "host/common/json_text.h"
#include "host/config/settings.h"

namespace {

// A header's name as HTTP allows it, and a value on one line.
bool header_name_ok(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!word) return false;
    }
    return true;
}

unsigned events_named(const Json::Value& events) {
    if (!events.isArray() || events.empty()) throw std::invalid_argument("must be a list of alarms, meters, faults");
    unsigned wanted = 0;
    for (const Json::Value& event : events) {
        const std::string name = event.isString() ? event.asString() : "";
        if (name == "alarms") {
            wanted |= kNotifyAlarms;
        } else if (name == "meters") {
            wanted |= kNotifyMeters;
        } else if (name == "faults") {
            wanted |= kNotifyFaults;
        } else {
            throw std::invalid_argument("must be a list of alarms, meters, faults; not " + compact_json(event));
        }
    }
    return wanted;
}

NotifyTarget read_target(const Json::Value& entry) {
    NotifyTarget target;
    if (entry.isString()) {
        target.url = parse_web_url(entry.asString());
        return target;
    }
    if (!entry.isObject()) throw std::invalid_argument("must be a URL or an object with \"url\"");
    for (const std::string& key : entry.getMemberNames()) {
        if (key != "url" && key != "events" && key != "body" && key != "content_type" && key != "headers") {
            throw std::invalid_argument("unknown key \"" + key + "\" (url, events, body, content_type, headers)");
        }
    }
    if (!entry["url"].isString()) throw std::invalid_argument("url: must be a string");
    target.url = parse_web_url(entry["url"].asString());
    if (entry.isMember("events")) {
        try {
            target.events = events_named(entry["events"]);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(std::string("events: ") + e.what());
        }
    }
    if (entry.isMember("body")) {
        if (!entry["body"].isString() || entry["body"].asString().size() > 4096) {
            throw std::invalid_argument("body: must be a string of at most 4096 bytes");
        }
        target.body = entry["body"].asString();
    }
    if (entry.isMember("content_type")) {
        const std::string type = entry["content_type"].isString() ? entry["content_type"].asString() : "";
        if (type.empty() || type.size() > 128 || type.find_first_of("\r\n") != std::string::npos) {
            throw std::invalid_argument("content_type: must be a media type such as text/plain");
        }
        target.content_type = type;
    }
    if (entry.isMember("headers")) {
        const Json::Value& headers = entry["headers"];
        if (!headers.isObject() || headers.size() > 16) throw std::invalid_argument("headers: must be an object of at most 16 strings");
        for (const std::string& name : headers.getMemberNames()) {
            const Json::Value& value = headers[name];
            if (!header_name_ok(name) || !value.isString() || value.asString().size() > 4096 ||
                value.asString().find_first_of("\r\n") != std::string::npos) {
                throw std::invalid_argument("headers." + name + ": a header's name and a value of one line");
            }
            target.headers.emplace_back(name, value.asString());
        }
    }
    return target;
}

}  // namespace

std::vector<NotifyTarget> read_notify_targets(const Json::Value& notify) {
    if (!notify.isArray()) throw std::invalid_argument("must be a list of URLs or of objects with \"url\"");
    if (notify.size() > 16) throw std::invalid_argument("at most 16 web hooks");
    std::vector<NotifyTarget> targets;
    for (Json::ArrayIndex i = 0; i < notify.size(); ++i) {
        try {
            targets.push_back(read_target(notify[i]));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("[" + std::to_string(i) + "]: " + e.what());
        }
    }
    return targets;
}
