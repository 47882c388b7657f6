// The bench host's configuration file: the serial line and its meters.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/qmxhost/line_settings.h"

struct Threshold {
    int level;
    float value;
};

struct DeviceConfig {
    std::string name;
    std::uint32_t data_id = 0;
    int slave = 1;
    std::map<std::string, Threshold> thresholds;  // what the controller holds per alarm key
    Json::Value setting;                          // handed to the device's InitSetting
};

struct HostConfig {
    LineSettings line;
    std::vector<DeviceConfig> devices;
};

// Throws std::runtime_error naming the file, the key and what is wrong:
// unknown keys, values out of range, two meters on one slave address or
// under one data id.
HostConfig load_host_config(const std::string& path);
HostConfig parse_host_config(const std::string& path, const std::string& text);

// Two devices sharing a slave address or a data id, as a message naming
// both, or an empty string.
std::string duplicate_device_problem(const std::vector<DeviceConfig>& devices);

// Whether the setting puts the device in threshold mode 2, read the way the
// device reads it (the text of b_mode, its leading digits).
bool setting_evaluates_alarms(const Json::Value& setting);
