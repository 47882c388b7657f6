// JSON text in and out, with the controller's library, for tests.
#pragma once

#include <json/reader.h>
#include <json/writer.h>

#include <optional>
#include <string>

// The parsed value, or nothing when the text is no JSON.
inline std::optional<Json::Value> parse_json(const std::string& text) {
    Json::Value value;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!Json::Reader().parse(text, value)) return std::nullopt;
#pragma GCC diagnostic pop
    return value;
}

// What the compact writer makes of the value.
inline std::string compact_json(const Json::Value& value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return Json::FastWriter().write(value);
#pragma GCC diagnostic pop
}
