#include "host/common/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <sstream>

std::string compact_json(const Json::Value& value) {
    // One writer per thread: making a builder and its writer for every
    // value cost more than writing a small one.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        builder["precision"] = 10;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream text;
    writer->write(value, &text);
    return text.str();
}

void JsonMembers::Name(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\":";
}

void JsonMembers::Add(std::string_view name, double value) {
    Name(name);
    if (!std::isfinite(value)) {
        out_ += compact_json(Json::Value(value));
        return;
    }
    // The writer's text (printf's %.10g, ".0" on a whole number) without
    // printf: formatting doubles was a fifth of a long answer's time.
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 10);
    const std::string_view digits(text, static_cast<std::size_t>(written.ptr - text));
    out_ += digits;
    if (digits.find_first_of(".e") == std::string_view::npos) out_ += ".0";
}

void JsonMembers::Add(std::string_view name, std::int64_t value) {
    Name(name);
    out_ += std::to_string(value);
}

void JsonMembers::Add(std::string_view name, bool value) {
    Name(name);
    out_ += value ? "true" : "false";
}

void JsonMembers::Add(std::string_view name, std::string_view text) {
    Name(name);
    // Times and names are plain: written as they are; anything else the
    // writer escapes.
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; });
    if (!plain) {
        out_ += compact_json(Json::Value(std::string(text)));
        return;
    }
    out_ += '"';
    out_ += text;
    out_ += '"';
}

void JsonMembers::AddValue(std::string_view name, const Json::Value& value) {
    Name(name);
    out_ += compact_json(value);
}

void JsonMembers::AddNull(std::string_view name) {
    Name(name);
    out_ += "null";
}

std::optional<Json::Value> parse_json_object(const std::string& text, int depth) {
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = true;
    builder["stackLimit"] = depth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject()) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;  // nested past the stack limit
    }
    return value;
}
