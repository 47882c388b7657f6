#include "host/core/report.h"

#include <json/reader.h>

#include <sstream>

Json::Value snapshot_object(const std::string& snapshot_text) {
    Json::Value value;
    std::string errors;
    std::istringstream in(snapshot_text);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors) || !value.isObject()) {
        return Json::Value(Json::objectValue);
    }
    return value;
}
