#include "host/common/json_text.h"

#include <json/writer.h>

std::string compact_json(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 10;
    return Json::writeString(builder, value);
}
