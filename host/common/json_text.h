// JSON as the page, the API and the broker get it: one line, UTF-8 as it
// is, and numbers with ten significant digits, so that 230.1 reads 230.1 and
// not 230.09999999999999.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

std::string compact_json(const Json::Value& value);

// An object written member by member straight into an answer's text, for
// answers of thousands of rows: a JsonCpp tree and a stream per row cost
// several times the reading of the row. Values come out as compact_json
// writes them; names are the program's own (letters, digits, '_').
class JsonMembers {
public:
    explicit JsonMembers(std::string& out) : out_(out) { out_ += '{'; }
    JsonMembers(const JsonMembers&) = delete;
    JsonMembers& operator=(const JsonMembers&) = delete;
    ~JsonMembers() { out_ += '}'; }

    void Add(std::string_view name, double value);
    void Add(std::string_view name, std::int64_t value);
    void Add(std::string_view name, bool value);
    void Add(std::string_view name, std::string_view text);
    void Add(std::string_view name, const char* text) { Add(name, std::string_view(text)); }
    void AddValue(std::string_view name, const Json::Value& value);
    void AddNull(std::string_view name);
    // Writes the name; the caller appends the value's JSON text to what
    // this returns, before the next member.
    std::string& Text(std::string_view name) {
        Name(name);
        return out_;
    }

private:
    void Name(std::string_view name);

    std::string& out_;
    bool first_ = true;
};

// A peer's JSON object, never trusted: strict, at most `depth` levels deep,
// or none.
std::optional<Json::Value> parse_json_object(const std::string& text, int depth);
