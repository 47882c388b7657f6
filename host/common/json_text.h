// JSON as the page, the API and the broker get it: one line, UTF-8 as it
// is, and numbers with ten significant digits, so that 230.1 reads 230.1 and
// not 230.09999999999999.
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

std::string compact_json(const Json::Value& value);

// A peer's JSON object, never trusted: strict, at most `depth` levels deep,
// or none.
std::optional<Json::Value> parse_json_object(const std::string& text, int depth);
