// Every setting of the bench host, declared once: its key in the
// configuration file, its option on the command line, its type, range,
// default and help. The file and the command line are read alike through
// it, the command line winning; each value is checked by its row, and the
// rules between settings are checked once, after both are merged.
#pragma once

#include <json/value.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "host/config/settings.h"

enum class SettingKind { whole, real, text, flag, list };

using SettingValue = std::variant<long long, double, std::string, bool, std::vector<std::string>>;

// What a setting must be beyond its kind and range.
enum SettingRule : unsigned {
    kSerialOnly = 1U,  // a serial line's: refused beside a Modbus TCP address
    kNeedsMqtt = 2U,   // does nothing without a broker
    kNotEmpty = 4U,    // an empty text would read as the setting not given
    kNeedsHttp = 8U,   // does nothing without the page
};

struct Setting {
    const char* key;     // in the configuration file, "line.baud"; nullptr: the command line only
    const char* option;  // on the command line, as CLI11 names it; nullptr: the file only
    SettingKind kind;
    double low, high;      // whole and real: the range
    const char* fallback;  // the default as the command line would give it; "": none
    const char* help;
    unsigned rules;
    // What is wrong with a value that has the right kind and range, or "".
    std::string (*check)(const SettingValue& value);
    void (*apply)(HostSettings& settings, const SettingValue& value);
    // CLI11's name of an option this one cannot stand beside; nullptr: none.
    const char* excludes;
};

const std::vector<Setting>& settings_table();

// The command line's values, as CLI11 collected them: every occurrence's text.
using CommandLineValues = std::map<const Setting*, std::vector<std::string>>;

// Builds a run's settings: the table's defaults, then the configuration
// file, then the command line; each read value checked by its row. Every
// throw is a SettingsError that names the file and key, or the option.
class SettingsBuilder {
public:
    static constexpr Json::ArrayIndex kMostLines = 16;  // a box has a few adapters, not dozens

    SettingsBuilder();

    // The configuration file's text; its meters, and every row it names.
    void ReadFile(const std::string& path, const std::string& text);
    void ReadCommandLine(const CommandLineValues& values);
    // The rules between settings, on the merged values.
    HostSettings Finish() const;

private:
    enum class Source { file, command_line };
    void Take(const Setting& row, const SettingValue& value, Source source);
    std::string Where(const Setting& row, Source source) const;
    void ReadLines(const Json::Value& lines, const std::vector<std::string>& line_keys);
    void CheckTransport() const;
    void CheckNeeds() const;

    HostSettings settings_;
    std::string file_;
    std::map<const Setting*, Source> given_;
    bool lines_listed_ = false;  // the file gave "lines", not "line" and "devices"
};

// A configuration file read alone, over the defaults and with the rules
// checked: the configuration as a run without options would have it.
HostSettings parse_settings_file(const std::string& path, const std::string& text);
HostSettings load_settings_file(const std::string& path);
// The text of a file, or a SettingsError saying it cannot be read.
std::string read_settings_text(const std::string& path);
