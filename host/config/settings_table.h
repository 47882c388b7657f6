// Every setting of the bench host, declared once: its key in the
// configuration file, its option on the command line, its kind, range,
// typed default and help, and the member it sets. The file and the command
// line are read alike through it, the command line winning; each value is
// checked by its row and parsed there into its type (an address, a URL, a
// choice), and the rules between settings are checked once, after both are
// merged. A meter's keys are rows too.
#pragma once

#include <json/value.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "host/config/settings.h"

enum class SettingKind { whole, real, text, flag, list, object };

// A value as read, before it is put in its member; none for a row without
// a default.
using SettingValue =
    std::variant<std::monostate, long long, double, std::string, bool, std::vector<std::string>, Json::Value>;

// What a row sets: the run's settings (the first line's, for a line's row)
// or one meter's.
enum class SettingScope { host, line, device };

// What a setting must be beyond its kind and range.
enum SettingRule : unsigned {
    kSerialOnly = 1U,  // a serial line's: refused beside a Modbus TCP address
    kNeedsMqtt = 2U,   // does nothing without a broker
    kNotEmpty = 4U,    // an empty text would read as the setting not given
    kNeedsHttp = 8U,   // does nothing without the page
    kNeedsHistory = 16U,  // does nothing without a history
};

struct Setting {
    const char* key;     // in the configuration file, "line.baud"; a meter's own key, "slave"; nullptr: the command line only
    const char* option;  // on the command line, as CLI11 names it; nullptr: the file only
    SettingScope scope;
    SettingKind kind;
    double low, high;       // whole and real: the range; text and list: high, the most bytes of each text
    SettingValue fallback;  // the default, of the row's kind; none: the setting is not given
    const char* help;
    unsigned rules;
    // What is wrong with a value that has the right kind and range, or "".
    std::string (*check)(const SettingValue& value);
    // Puts a checked value into its member: a host or line row's into the
    // settings (a line row's into the first line), a meter's row's into the meter.
    void (*apply)(HostSettings& settings, const SettingValue& value);
    void (*apply_device)(DeviceConfig& device, const SettingValue& value);
    // CLI11's name of an option this one cannot stand beside; nullptr: none.
    const char* excludes;
};

const std::vector<Setting>& settings_table();

// What a value of the kind is called in help and docs: N, X, TEXT, OPTION.
const char* value_name(SettingKind kind);

// The default as the command line would give it, for help and docs; empty: none.
std::string default_text(const Setting& row);

// The command line's values, as CLI11 collected them: every occurrence's text.
using CommandLineValues = std::map<const Setting*, std::vector<std::string>>;

// Builds a run's settings: the table's defaults, then the configuration
// file, then the command line; each read value checked by its row. Every
// throw is a SettingsError that names the file and key, or the option.
class SettingsBuilder {
public:
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

// A configuration's "devices" array, each meter's keys read by the table's
// meter rows. Throws SettingsError with what is wrong, the key first
// ("devices[1].slave: ...").
std::vector<DeviceConfig> read_devices(const Json::Value& devices);

// A configuration file read alone, over the defaults and with the rules
// checked: the configuration as a run without options would have it.
HostSettings parse_settings_file(const std::string& path, const std::string& text);
HostSettings load_settings_file(const std::string& path);
// The text of a file, or a SettingsError saying it cannot be read.
std::string read_settings_text(const std::string& path);
