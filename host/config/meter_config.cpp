#include "host/config/meter_config.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// The member, without adding it as operator[] would.
const Json::Value* member(const Json::Value& object, const std::string& name) {
    return object.find(name.data(), name.data() + name.size());
}

[[noreturn]] void bad(const std::string& key, const std::string& why) { throw SettingsError(key + ": " + why); }

int whole(const Json::Value& object, const std::string& where, const char* key, int fallback, long long low,
          long long high) {
    if (!object.isMember(key)) return fallback;
    const std::optional<long long> value = json_whole(object[key], low, high);
    if (!value) bad(where + key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(*value);
}

std::map<std::string, Threshold> read_thresholds(const Json::Value& thresholds, const std::string& at) {
    std::map<std::string, Threshold> read;
    if (!thresholds.isNull() && !thresholds.isObject()) bad(at + "thresholds", "must be an object");
    for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
        const std::string where = at + "thresholds." + it.name();
        if (!it->isObject()) bad(where, "must be an object with \"level\" and \"value\"");
        refuse_unknown_keys(*it, where + ".", {"level", "value"});
        if (!it->isMember("level")) bad(where + ".level", "is missing");
        if (!(*it)["value"].isNumeric()) bad(where + ".value", "must be a number");
        read[it.name()] = {whole(*it, where + ".", "level", 0, 0, 1000), (*it)["value"].asFloat()};
    }
    return read;
}

DeviceConfig read_device(const Json::Value& device, std::size_t index) {
    const std::string at = "devices[" + std::to_string(index) + "].";
    if (!device.isObject()) bad(at.substr(0, at.size() - 1), "must be an object");
    refuse_unknown_keys(device, at, {"name", "data_id", "slave", "thresholds", "setting"});
    DeviceConfig config;
    config.name = "meter " + std::to_string(index + 1);
    if (device.isMember("name")) {
        if (!device["name"].isString()) bad(at + "name", "must be a string");
        config.name = device["name"].asString();
    }
    config.data_id = static_cast<std::uint32_t>(
        whole(device, at, "data_id", static_cast<int>(index + 1), 0, std::numeric_limits<int>::max()));
    config.slave = whole(device, at, "slave", 1, 1, 247);
    config.thresholds = read_thresholds(device["thresholds"], at);
    config.setting = device.get("setting", Json::Value(Json::objectValue));
    if (!config.setting.isObject()) bad(at + "setting", "must be an object");
    // The controller's Modbus master takes the slave address from the
    // setting; one given there must agree with the meter's "slave".
    const Json::Value* modbus = member(config.setting, "modbus");
    if (modbus != nullptr && !modbus->isObject()) bad(at + "setting.modbus", "must be an object");
    if (modbus != nullptr && modbus->isMember("slave") && (*modbus)["slave"] != Json::Value(config.slave)) {
        bad(at + "setting.modbus.slave",
            "differs from \"slave\" " + std::to_string(config.slave) + ": leave it out, the bench host fills it in");
    }
    config.setting["modbus"]["slave"] = config.slave;
    return config;
}

}  // namespace

std::optional<long long> json_whole(const Json::Value& value, long long low, long long high) {
    // Compared as doubles first: 1e30 is no whole number to convert.
    if (!value.isNumeric() || value.isBool()) return std::nullopt;
    const double number = value.asDouble();
    if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high))) return std::nullopt;
    if (value.isDouble() && std::trunc(number) != number) return std::nullopt;
    return value.isDouble() ? static_cast<long long>(number) : value.asInt64();
}

void refuse_unknown_keys(const Json::Value& object, const std::string& where, const std::vector<std::string>& known) {
    for (const std::string& key : object.getMemberNames()) {
        bool listed = false;
        for (const std::string& k : known) listed = listed || k == key;
        if (listed) continue;
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        bad(where + key, "unknown key (known here: " + list + ")");
    }
}

std::vector<DeviceConfig> read_devices(const Json::Value& devices) {
    if (!devices.isArray() || devices.empty()) bad("devices", "must list at least one meter");
    std::vector<DeviceConfig> read;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) read.push_back(read_device(devices[i], i));
    return read;
}

std::string duplicate_device_problem(const std::vector<DeviceConfig>& devices) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const std::string pair = "devices[" + std::to_string(i) + "] and devices[" + std::to_string(j) + "]";
            if (devices[i].slave == devices[j].slave) {
                return "devices[" + std::to_string(i) + "].slave: " + pair + " share slave address " +
                       std::to_string(devices[i].slave) + ": every meter on the line needs its own";
            }
            if (devices[i].data_id == devices[j].data_id) {
                return "devices[" + std::to_string(i) + "].data_id: " + pair + " share data id " +
                       std::to_string(devices[i].data_id) + ": their records would be indistinguishable";
            }
        }
    }
    return "";
}

bool setting_evaluates_alarms(const Json::Value& setting) {
    const Json::Value* app = member(setting, "appSetting");
    if (app == nullptr || !app->isObject()) return false;
    const Json::Value* mode = member(*app, "b_mode");
    if (mode == nullptr || mode->isNull()) return false;
    if (mode->isIntegral()) return mode->asLargestInt() == 2;
    return mode->isString() && std::atoi(mode->asCString()) == 2;
}
