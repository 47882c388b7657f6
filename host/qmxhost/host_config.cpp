#include "host/qmxhost/host_config.h"

#include <json/reader.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void bad(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

int int_member(const std::string& path, const Json::Value& object, const char* key, int fallback, int low,
               int high) {
    if (!object.isMember(key)) return fallback;
    const Json::Value& v = object[key];
    if (!v.isInt() || v.asInt() < low || v.asInt() > high) {
        bad(path, std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) + " to " +
                      std::to_string(high));
    }
    return v.asInt();
}

LineSettings read_line(const std::string& path, const Json::Value& line) {
    LineSettings settings;
    if (line.isNull()) return settings;
    if (!line.isObject()) bad(path, "\"line\" must be an object");
    if (line.isMember("port")) settings.port = line["port"].asString();
    settings.baud = int_member(path, line, "baud", settings.baud, 300, 921600);
    if (line.isMember("parity")) {
        const std::string parity = line["parity"].asString();
        if (parity != "N" && parity != "E" && parity != "O") bad(path, "\"parity\" must be N, E or O");
        settings.parity = parity[0];
    }
    settings.data_bits = int_member(path, line, "data_bits", settings.data_bits, 7, 8);
    settings.stop_bits = int_member(path, line, "stop_bits", settings.stop_bits, 1, 2);
    settings.response_timeout_ms = int_member(path, line, "response_timeout_ms", settings.response_timeout_ms, 1,
                                              60000);
    return settings;
}

DeviceConfig read_device(const std::string& path, const Json::Value& device, std::size_t index) {
    if (!device.isObject()) bad(path, "every entry of \"devices\" must be an object");
    DeviceConfig config;
    config.name = device.get("name", "meter " + std::to_string(index + 1)).asString();
    config.data_id = static_cast<std::uint32_t>(int_member(path, device, "data_id", static_cast<int>(index + 1), 0,
                                                           2147483647));
    config.slave = int_member(path, device, "slave", 1, 1, 247);
    const Json::Value& thresholds = device["thresholds"];
    if (!thresholds.isNull() && !thresholds.isObject()) bad(path, "\"thresholds\" must be an object");
    for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
        if (!it->isObject() || !(*it)["level"].isInt() || !(*it)["value"].isNumeric()) {
            bad(path, "threshold " + it.name() + " needs a whole \"level\" and a numeric \"value\"");
        }
        config.thresholds[it.name()] = {(*it)["level"].asInt(), (*it)["value"].asFloat()};
    }
    config.setting = device.get("setting", Json::Value(Json::objectValue));
    if (!config.setting.isObject()) bad(path, "\"setting\" must be an object");
    // The controller's Modbus master takes the slave address from the setting.
    config.setting["modbus"]["slave"] = config.slave;
    return config;
}

}  // namespace

HostConfig load_host_config(const std::string& path) {
    std::ifstream file(path);
    if (!file) bad(path, "cannot be read");
    std::stringstream text;
    text << file.rdbuf();
    Json::Value root;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
    if (!reader.parse(text.str(), root)) bad(path, "not JSON: " + reader.getFormattedErrorMessages());
#pragma GCC diagnostic pop
    if (!root.isObject()) bad(path, "must hold a JSON object");
    HostConfig config;
    config.line = read_line(path, root["line"]);
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty()) bad(path, "\"devices\" must list at least one meter");
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) config.devices.push_back(read_device(path, devices[i], i));
    return config;
}
