// The bench host's configuration file: the serial line and its meters.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct LineSettings {
    std::string port;  // empty: start the simulated meter on a pseudo-terminal
    int baud = 9600;
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
    int response_timeout_ms = 1000;

    int BitsPerCharacter() const { return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits; }
};

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

// Throws std::runtime_error naming the file and what is wrong in it.
HostConfig load_host_config(const std::string& path);
