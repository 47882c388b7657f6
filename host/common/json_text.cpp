#include "host/common/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

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
