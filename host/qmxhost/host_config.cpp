#include "host/qmxhost/host_config.h"

#include <json/reader.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// The member, without adding it as operator[] would.
const Json::Value* member(const Json::Value& object, const std::string& name) {
    return object.find(name.data(), name.data() + name.size());
}

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void Bad(const std::string& key, const std::string& why) const {
        throw std::runtime_error(path_ + ": " + key + ": " + why);
    }

    // A misspelt key would otherwise be ignored and its default used in silence.
    void OnlyKnown(const Json::Value& object, const std::string& where, std::set<std::string> known) const {
        for (const std::string& key : object.getMemberNames()) {
            if (known.count(key) != 0) continue;
            std::string list;
            for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
            Bad(where + key, "unknown key (known here: " + list + ")");
        }
    }

    int Whole(const Json::Value& object, const std::string& where, const char* key, int fallback, long long low,
              long long high) const {
        if (!object.isMember(key)) return fallback;
        const Json::Value& v = object[key];
        const bool whole = v.isIntegral() || (v.isDouble() && v.asDouble() == static_cast<double>(v.asLargestInt()));
        if (!whole || !v.isConvertibleTo(Json::intValue) || v.asLargestInt() < low || v.asLargestInt() > high) {
            Bad(where + key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
        }
        return v.asInt();
    }

    std::string Text(const Json::Value& object, const std::string& where, const char* key,
                     const std::string& fallback) const {
        if (!object.isMember(key)) return fallback;
        if (!object[key].isString()) Bad(where + key, "must be a string");
        return object[key].asString();
    }

    bool Flag(const Json::Value& object, const std::string& where, const char* key, bool fallback) const {
        if (!object.isMember(key)) return fallback;
        if (!object[key].isBool()) Bad(where + key, "must be true or false");
        return object[key].asBool();
    }

    LineSettings Line(const Json::Value& line) const {
        LineSettings s;
        if (line.isNull()) return s;
        if (!line.isObject()) Bad("line", "must be an object");
        const std::string at = "line.";
        OnlyKnown(line, at,
                  {"port", "tcp", "baud", "parity", "data_bits", "stop_bits", "response_timeout_ms", "byte_timeout_ms",
                   "retries", "rs485", "rts", "rts_delay_us", "delay_ms"});
        s.tcp = Text(line, at, "tcp", s.tcp);
        if (!s.tcp.empty()) {
            // A serial setting beside the TCP address would be taken for one in force.
            for (const char* serial : {"port", "baud", "parity", "data_bits", "stop_bits", "rs485", "rts", "rts_delay_us"}) {
                if (line.isMember(serial)) {
                    Bad(at + serial, std::string("a serial setting, but the line is Modbus TCP (line.tcp): leave out ") +
                                         serial + " or tcp");
                }
            }
        }
        s.port = Text(line, at, "port", s.port);
        s.baud = Whole(line, at, "baud", s.baud, 1, 4000000);
        const std::string parity = Text(line, at, "parity", std::string(1, s.parity));
        if (parity != "N" && parity != "E" && parity != "O") Bad(at + "parity", "must be \"N\", \"E\" or \"O\"");
        s.parity = parity[0];
        s.data_bits = Whole(line, at, "data_bits", s.data_bits, 7, 8);
        s.stop_bits = Whole(line, at, "stop_bits", s.stop_bits, 1, 2);
        s.response_timeout_ms = Whole(line, at, "response_timeout_ms", s.response_timeout_ms, 1, 60000);
        s.byte_timeout_ms = Whole(line, at, "byte_timeout_ms", s.byte_timeout_ms, 0, 60000);
        s.retries = Whole(line, at, "retries", s.retries, 0, 10);
        s.rs485 = Flag(line, at, "rs485", s.rs485);
        s.rts = Text(line, at, "rts", s.rts);
        s.rts_delay_us = Whole(line, at, "rts_delay_us", s.rts_delay_us, -1, 1000000);
        s.delay_ms = Whole(line, at, "delay_ms", s.delay_ms, 0, 10000);
        const std::string problem = line_settings_problem(s);
        if (!problem.empty()) Bad("line", problem);
        return s;
    }

    DeviceConfig Device(const Json::Value& device, std::size_t index) const {
        const std::string at = "devices[" + std::to_string(index) + "].";
        if (!device.isObject()) Bad(at.substr(0, at.size() - 1), "must be an object");
        OnlyKnown(device, at, {"name", "data_id", "slave", "thresholds", "setting"});
        DeviceConfig config;
        config.name = Text(device, at, "name", "meter " + std::to_string(index + 1));
        config.data_id = static_cast<std::uint32_t>(
            Whole(device, at, "data_id", static_cast<int>(index + 1), 0, std::numeric_limits<int>::max()));
        config.slave = Whole(device, at, "slave", 1, 1, 247);
        const Json::Value& thresholds = device["thresholds"];
        if (!thresholds.isNull() && !thresholds.isObject()) Bad(at + "thresholds", "must be an object");
        for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
            const std::string where = at + "thresholds." + it.name();
            if (!it->isObject()) Bad(where, "must be an object with \"level\" and \"value\"");
            OnlyKnown(*it, where + ".", {"level", "value"});
            if (!it->isMember("level")) Bad(where + ".level", "is missing");
            if (!(*it)["value"].isNumeric()) Bad(where + ".value", "must be a number");
            const int level = Whole(*it, where + ".", "level", 0, 0, 1000);
            config.thresholds[it.name()] = {level, (*it)["value"].asFloat()};
        }
        config.setting = device.get("setting", Json::Value(Json::objectValue));
        if (!config.setting.isObject()) Bad(at + "setting", "must be an object");
        // The controller's Modbus master takes the slave address from the
        // setting; one given there must agree with the meter's "slave".
        const Json::Value* modbus = member(config.setting, "modbus");
        if (modbus != nullptr && !modbus->isObject()) Bad(at + "setting.modbus", "must be an object");
        if (modbus != nullptr && modbus->isMember("slave") && (*modbus)["slave"] != Json::Value(config.slave)) {
            Bad(at + "setting.modbus.slave", "differs from \"slave\" " + std::to_string(config.slave) +
                                                 ": leave it out, the bench host fills it in");
        }
        config.setting["modbus"]["slave"] = config.slave;
        return config;
    }

private:
    std::string path_;
};

}  // namespace

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

HostConfig parse_host_config(const std::string& path, const std::string& text) {
    const Reader reader(path);
    Json::Value root;
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &root, &errors)) {
        throw std::runtime_error(path + ": not JSON: " + errors);
    }
    if (!root.isObject()) throw std::runtime_error(path + ": must hold a JSON object");
    reader.OnlyKnown(root, "", {"line", "devices"});
    HostConfig config;
    config.line = reader.Line(root["line"]);
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty()) reader.Bad("devices", "must list at least one meter");
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) config.devices.push_back(reader.Device(devices[i], i));
    const std::string duplicate = duplicate_device_problem(config.devices);
    if (!duplicate.empty()) throw std::runtime_error(path + ": " + duplicate);
    return config;
}

HostConfig load_host_config(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error(path + ": cannot be read");
    std::stringstream text;
    text << file.rdbuf();
    return parse_host_config(path, text.str());
}

bool setting_evaluates_alarms(const Json::Value& setting) {
    const Json::Value* app = member(setting, "appSetting");
    if (app == nullptr || !app->isObject()) return false;
    const Json::Value* mode = member(*app, "b_mode");
    if (mode == nullptr || mode->isNull()) return false;
    if (mode->isIntegral()) return mode->asLargestInt() == 2;
    return mode->isString() && std::atoi(mode->asCString()) == 2;
}
