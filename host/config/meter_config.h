// The meters of a configuration: per meter its name, data id, slave
// address, the controller's alarm levels and thresholds, and the setting
// handed to the device.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct Threshold {
    int level;
    float value;
};

struct DeviceConfig {
    std::string name;
    std::uint32_t data_id = 0;
    int slave = 1;
    std::string line;  // the line it is on as people know it, its port or TCP address; set when it is opened
    std::map<std::string, Threshold> thresholds;  // what the controller holds per alarm key
    Json::Value setting;                          // handed to the device's InitSetting
};

// A setting or configuration that cannot be run, with where it came from:
// "bench.json: devices[0].slvae: unknown key", "--baud: ...".
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The "devices" array of a configuration file. Throws SettingsError with
// what is wrong, the key first ("devices[1].slave: ...").
std::vector<DeviceConfig> read_devices(const Json::Value& devices);

// Two devices sharing a slave address or a data id, as a message naming
// both, or an empty string.
std::string duplicate_device_problem(const std::vector<DeviceConfig>& devices);

// Whether the setting puts the device in threshold mode 2, read the way the
// device reads it (the text of b_mode, its leading digits).
bool setting_evaluates_alarms(const Json::Value& setting);

// A JSON number with no fraction from `low` to `high` (4660 or 4660.0; not
// a text or a boolean), or nothing.
std::optional<long long> json_whole(const Json::Value& value, long long low, long long high);

// Every key of `object` not in `known`, refused with what is known there
// (a misspelt key would otherwise be ignored and its default used in silence).
void refuse_unknown_keys(const Json::Value& object, const std::string& where, const std::vector<std::string>& known);
