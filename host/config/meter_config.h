// The meters of a configuration: per meter its name, data id, slave
// address, the controller's alarm levels and thresholds, and the setting
// handed to the device.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The whole numbers a setting may take, both ends included.
struct WholeRange {
    long long low, high;
};
// Modbus RTU's unicast slave addresses.
inline constexpr WholeRange kSlaveAddresses{1, 247};
// What a configuration may name a meter by toward the controller.
inline constexpr WholeRange kDataIds{0, 2147483647};
// The levels a threshold may carry: 0, the rule is not judged; 1 and 2, the
// controller's two grades, as the rules come in pairs (high, very high);
// and -1, which the controller takes as any level that is not 0: the rule
// judged, its level handed on as -1.
inline constexpr WholeRange kThresholdLevels{-1, 2};
// A box has a few adapters, not dozens.
inline constexpr std::size_t kMostLines = 16;

struct Threshold {
    int level{};
    float value{};
};

// Every member is a row of the settings table, which gives its default.
struct DeviceConfig {
    std::string name;
    std::uint32_t data_id{};
    int slave{};
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

// What is wrong with a threshold's key: none of the 27 rules has it (said
// with the nearest that does), or "".
std::string threshold_key_problem(const std::string& key);

// A meter's thresholds as the configuration gives them, by alarm key.
// Throws SettingsError with what is wrong, the key first ("thresholds.…").
std::map<std::string, Threshold> read_thresholds(const Json::Value& thresholds);

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
