#include "host/config/settings_table.h"

#include <json/reader.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "host/common/line_speeds.h"
#include "host/common/number_text.h"
#include "host/config/endpoints.h"
#include "host/config/write_request.h"
#include "host/config/tcp_address.h"

namespace {

int whole_of(const SettingValue& v) { return static_cast<int>(std::get<long long>(v)); }
const std::string& text_of(const SettingValue& v) { return std::get<std::string>(v); }
bool flag_of(const SettingValue& v) { return std::get<bool>(v); }

std::string one_of(const SettingValue& v, std::initializer_list<const char*> choices) {
    std::string list;
    for (const char* choice : choices) {
        if (text_of(v) == choice) return "";
        list += (list.empty() ? "" : ", ") + std::string(choice);
    }
    return "must be one of " + list + ", not \"" + text_of(v) + "\"";
}

// Checked at start, so that a missing file is told before anything runs.
std::string readable_file(const SettingValue& v) {
    return access(text_of(v).c_str(), R_OK) == 0 ? std::string() : "cannot read " + text_of(v);
}

std::string problem_of(void (*parse)(const std::string&), const SettingValue& v) {
    try {
        parse(text_of(v));
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

// The rows. Their order is the order values are taken in: the TCP address
// after the port, so that a line given both is refused as TCP with a port.
std::vector<Setting> make_table() {
    using K = SettingKind;
    return {
        {"plugin", "--plugin", K::text, 0, 0, QV5810_DEFAULT_PLUGIN, "device plug-in to load", kNotEmpty, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.plugin = text_of(v); }, nullptr},
        {"line.port", "--port", K::text, 0, 0, "",
         "serial device (a pseudo-terminal too); empty or left out: start the simulated meter", kSerialOnly, nullptr,
         [](HostSettings& s, const SettingValue& v) {
             s.lines.front().line.port = text_of(v);
             s.lines.front().line.tcp.clear();
         },
         nullptr},
        {"line.tcp", "--tcp", K::text, 0, 0, "",
         "HOST:PORT of a Modbus TCP server or gateway, instead of a serial port; sim: the simulated meter", kNotEmpty,
         [](const SettingValue& v) {
             return text_of(v) == kTcpSimulator ? std::string() : problem_of([](const std::string& t) { parse_tcp_address(t); }, v);
         },
         [](HostSettings& s, const SettingValue& v) {
             s.lines.front().line.tcp = text_of(v);
             s.lines.front().line.port.clear();
         },
         nullptr},
        {"line.baud", "--baud", K::whole, 1, 4000000, "9600", "line speed", kSerialOnly,
         [](const SettingValue& v) {
             return is_line_speed(std::get<long long>(v)) ? std::string()
                                                          : std::to_string(std::get<long long>(v)) +
                                                                " is not one of " + line_speed_list();
         },
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.baud = whole_of(v); }, nullptr},
        {"line.parity", "--parity", K::text, 0, 0, "N", "N, E or O", kSerialOnly,
         [](const SettingValue& v) { return one_of(v, {"N", "E", "O"}); },
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.parity = text_of(v)[0]; }, nullptr},
        {"line.data_bits", "--data-bits", K::whole, 7, 8, "8", "data bits", kSerialOnly, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.data_bits = whole_of(v); }, nullptr},
        {"line.stop_bits", "--stop-bits", K::whole, 1, 2, "1", "stop bits", kSerialOnly, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.stop_bits = whole_of(v); }, nullptr},
        {"line.response_timeout_ms", "--timeout-ms,--response-timeout-ms", K::whole, 1, 60000, "1000",
         "ms from the end of a request to the first byte of its answer", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.response_timeout_ms = whole_of(v); }, nullptr},
        {"line.byte_timeout_ms", "--byte-timeout-ms", K::whole, 0, 60000, "500",
         "longest silence inside an answer, ms; 0: the whole answer within the response timeout", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.byte_timeout_ms = whole_of(v); }, nullptr},
        {"line.retries", "--retries", K::whole, 0, 10, "2", "further attempts after a failed request", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.retries = whole_of(v); }, nullptr},
        {"line.rs485", "--rs485", K::flag, 0, 0, "", "put the port in the kernel driver's RS-485 mode", kSerialOnly,
         nullptr, [](HostSettings& s, const SettingValue& v) { s.lines.front().line.rs485 = flag_of(v); }, nullptr},
        {"line.rts", "--rts", K::text, 0, 0, "none", "none, up or down: RTS level libmodbus sets while sending",
         kSerialOnly, [](const SettingValue& v) { return one_of(v, {"none", "up", "down"}); },
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.rts = text_of(v); }, nullptr},
        {"line.rts_delay_us", "--rts-delay-us", K::whole, 0, 1000000, "",
         "RTS settling time before and after sending, us (default: one character)", kSerialOnly, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.rts_delay_us = whole_of(v); }, nullptr},
        {"line.delay_ms", "--delay-ms", K::whole, 0, 10000, "0", "silence kept before each request, ms", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.lines.front().line.delay_ms = whole_of(v); }, nullptr},
        {"line.emulate_line", "--emulate-line", K::flag, 0, 0, "", "simulated meter: pace bytes at the line speed",
         kSerialOnly, nullptr, [](HostSettings& s, const SettingValue& v) { s.lines.front().emulate_line = flag_of(v); }, nullptr},
        {nullptr, "--slave", K::whole, 1, 247, "", "slave address of the first meter (default: the configuration's)", 0,
         nullptr,
         [](HostSettings& s, const SettingValue& v) {
             std::vector<DeviceConfig>& devices = s.lines.front().devices;
             if (devices.empty()) return;  // the configuration lists at least one; a test may not
             devices.front().slave = whole_of(v);
             devices.front().setting["modbus"]["slave"] = whole_of(v);
         },
         nullptr},
        {"interval", "--interval", K::real, 0, 3600, "1", "seconds from the start of one poll cycle to the next", 0,
         nullptr, [](HostSettings& s, const SettingValue& v) { s.interval_seconds = std::get<double>(v); }, nullptr},
        {"cycles", "--cycles", K::whole, 0, 100000000, "0", "poll cycles to run; 0: until stopped", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.cycles = whole_of(v); }, nullptr},
        {"history", "--history", K::text, 0, 0, "", "SQLite file for the device history; reloaded on start",
         kNotEmpty, nullptr, [](HostSettings& s, const SettingValue& v) { s.history.file = text_of(v); }, nullptr},
        {"history_raw_days", "--history-raw-days", K::whole, 0, 36500, "7",
         "days each record is kept whole, its quantities as columns; 0: for good", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.history.raw_days = whole_of(v); }, nullptr},
        {"history_minute_days", "--history-minute-days", K::whole, 0, 36500, "3650",
         "days the per-minute least, mean and greatest of each quantity are kept; 0: for good", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.history.minute_days = whole_of(v); }, nullptr},
        {"history_hour_days", "--history-hour-days", K::whole, 0, 36500, "0",
         "days the per-hour aggregates are kept; 0: for good", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.history.hour_days = whole_of(v); }, nullptr},
        {"history_batch_s", "--history-batch-s", K::real, 0, 60, "5",
         "seconds of records stored together in one transaction (what a power cut can lose at most)", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.history.batch_seconds = std::get<double>(v); }, nullptr},
        {nullptr, "--write", K::text, 0, 0, "", "after the first cycle write ADDR=V (one register) or ADDR=V,V,...", 0,
         [](const SettingValue& v) {
             std::string problem;
             parse_write_words(text_of(v), problem);
             return problem;
         },
         [](HostSettings& s, const SettingValue& v) {
             std::string problem;
             s.write = parse_write_words(text_of(v), problem);
         },
         nullptr},
        {"snapshot", "--snapshot", K::flag, 0, 0, "", "show the JSON snapshot text after every cycle", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.output.snapshot = flag_of(v); }, nullptr},
        {"json", "--json", K::flag, 0, 0, "", "one JSON object per line for every event, nothing else on stdout", 0,
         nullptr, [](HostSettings& s, const SettingValue& v) { s.output.json = flag_of(v); }, nullptr},
        {"output", "--output", K::text, 0, 0, "normal",
         "normal, quiet (only troubles, the write status and the summary) or verbose", 0,
         [](const SettingValue& v) { return one_of(v, {"normal", "quiet", "verbose"}); },
         [](HostSettings& s, const SettingValue& v) {
             s.output.verbosity = text_of(v) == "quiet"     ? Verbosity::quiet
                                  : text_of(v) == "verbose" ? Verbosity::verbose
                                                            : Verbosity::normal;
         },
         nullptr},
        {nullptr, "--quiet,-q", K::flag, 0, 0, "", "only troubles, the write status and the summary", 0,
         nullptr,
         [](HostSettings& s, const SettingValue& v) {
             if (flag_of(v)) s.output.verbosity = Verbosity::quiet;
         },
         "--verbose"},
        {nullptr, "--verbose,-v", K::flag, 0, 0, "", "also every retry and the plug-in's own lines (on standard error)",
         0, nullptr,
         [](HostSettings& s, const SettingValue& v) {
             if (flag_of(v)) s.output.verbosity = Verbosity::verbose;
         },
         nullptr},
        {"http", "--http", K::text, 0, 0, "",
         "serve the live page and the HTTP API on [ADDR:]PORT (address 127.0.0.1 when none; port 0: any)", kNotEmpty,
         [](const SettingValue& v) { return problem_of([](const std::string& t) { parse_listen_address(t); }, v); },
         [](HostSettings& s, const SettingValue& v) { s.http = text_of(v); }, nullptr},
        {"http_users", "--http-users", K::text, 0, 0, "",
         "file of who may log in to the page and the API (qmxhost passwd, qmxhost token); writes then need a login",
         kNeedsHttp | kNotEmpty,
         readable_file,
         [](HostSettings& s, const SettingValue& v) { s.http_users = text_of(v); }, nullptr},
        {"http_login", "--http-login", K::text, 0, 0, "writes",
         "writes (a login to write registers) or all (a login to see anything but the login)", kNeedsHttp,
         [](const SettingValue& v) { return one_of(v, {"writes", "all"}); },
         [](HostSettings& s, const SettingValue& v) { s.http_reads_need_login = text_of(v) == "all"; }, nullptr},
        {"http_metrics", "--http-metrics", K::text, 0, 0, "on",
         "/metrics for Prometheus: on (a login when reads need one), open (never a login), or off", kNeedsHttp,
         [](const SettingValue& v) { return one_of(v, {"on", "open", "off"}); },
         [](HostSettings& s, const SettingValue& v) { s.http_metrics = text_of(v); }, nullptr},
        {"http_hosts", "--http-host", K::list, 0, 0, "",
         "a name the page is reached by, beside the addresses it listens on (repeatable)", kNeedsHttp, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.http_hosts = std::get<std::vector<std::string>>(v); }, nullptr},
        {"http_tls_cert", "--http-tls-cert", K::text, 0, 0, "", "serve HTTPS with this certificate chain (PEM)",
         kNeedsHttp | kNotEmpty,
         readable_file,
         [](HostSettings& s, const SettingValue& v) { s.http_tls_certificate = text_of(v); }, nullptr},
        {"http_tls_key", "--http-tls-key", K::text, 0, 0, "", "the certificate's private key (PEM)",
         kNeedsHttp | kNotEmpty,
         readable_file,
         [](HostSettings& s, const SettingValue& v) { s.http_tls_key = text_of(v); }, nullptr},
        {"allow_writes", "--allow-writes", K::flag, 0, 0, "",
         "let the HTTP API (POST /api/devices/ID/registers), MQTT (set/registers) and the Modbus server "
         "(functions 6 and 16) write registers",
         0, nullptr, [](HostSettings& s, const SettingValue& v) { s.allow_writes = flag_of(v); }, nullptr},
        {"modbus_server", "--modbus-server", K::text, 0, 0, "",
         "serve the meters' registers as the last cycle read them over Modbus TCP on [ADDR:]PORT (address "
         "127.0.0.1 when none; port 0: any), each meter under its slave address",
         kNotEmpty,
         [](const SettingValue& v) { return problem_of([](const std::string& t) { parse_listen_address(t); }, v); },
         [](HostSettings& s, const SettingValue& v) { s.modbus_server = text_of(v); }, nullptr},
        {"mqtt.url", "--mqtt", K::text, 0, 0, "", "publish to the broker at mqtt://HOST[:PORT] (mqtts:// for TLS)",
         kNotEmpty,
         [](const SettingValue& v) { return problem_of([](const std::string& t) { parse_broker_url(t); }, v); },
         [](HostSettings& s, const SettingValue& v) { s.mqtt.url = text_of(v); }, nullptr},
        {"mqtt.client_id", "--mqtt-client-id", K::text, 0, 0, "",
         "MQTT client id; each meter adds -DATA_ID (default qmxhost-HOSTNAME-PID)", kNeedsMqtt | kNotEmpty, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.mqtt.client_id = text_of(v); }, nullptr},
        {"mqtt.login", "--mqtt-login", K::text, 0, 0, "",
         "file with the MQTT user name and password on two lines (default: QV5810_MQTT_USERNAME and "
         "QV5810_MQTT_PASSWORD from the environment)",
         kNeedsMqtt | kNotEmpty, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.mqtt.login_file = text_of(v); }, nullptr},
        {"mqtt.ca", "--mqtt-ca", K::text, 0, 0, "",
         "with mqtts://: the CA certificates (PEM) the broker's must chain to (default: the system's)",
         kNeedsMqtt | kNotEmpty,
         [](const SettingValue& v) {
             return access(text_of(v).c_str(), R_OK) == 0 ? std::string() : "cannot read " + text_of(v);
         },
         [](HostSettings& s, const SettingValue& v) { s.mqtt.ca_file = text_of(v); }, nullptr},
        {"mqtt.prefix", "--mqtt-prefix", K::text, 0, 0, "qv5810/", "topic prefix, ending in /", kNeedsMqtt,
         [](const SettingValue& v) { return mqtt_prefix_problem(text_of(v)); },
         [](HostSettings& s, const SettingValue& v) { s.mqtt.prefix = text_of(v); }, nullptr},
        {"mqtt.discovery", "--mqtt-discovery", K::flag, 0, 0, "",
         "publish Home Assistant discovery: every quantity and alarm rule of every meter", kNeedsMqtt, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.mqtt.discovery = flag_of(v); }, nullptr},
        {"mqtt.site", "--mqtt-site", K::text, 0, 0, "",
         "this host's part of every Home Assistant id, so that two hosts' meters never share one (default: a "
         "digest of the machine id and the prefix)",
         kNeedsMqtt | kNotEmpty, nullptr, [](HostSettings& s, const SettingValue& v) { s.mqtt.site = text_of(v); },
         nullptr},
        {"mqtt.manufacturer", "--mqtt-manufacturer", K::text, 0, 0, "",
         "the meters' maker as Home Assistant shows it, from their nameplate", kNeedsMqtt | kNotEmpty, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.mqtt.manufacturer = text_of(v); }, nullptr},
        {"mqtt.queue", "--mqtt-queue", K::whole, 1, 1000000, "1000",
         "messages kept while the broker is away, the oldest dropped first", kNeedsMqtt, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.mqtt.queue = static_cast<std::size_t>(std::get<long long>(v)); },
         nullptr},
        {"simulator_args", "--sim-arg", K::list, 0, 0, "", "an option for the simulated meter (repeatable)", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) { s.sim_args = std::get<std::vector<std::string>>(v); }, nullptr},
    };
}

// A value as the command line gives it: the texts of its occurrences.
SettingValue from_texts(const Setting& row, const std::vector<std::string>& texts) {
    const std::string& last = texts.back();  // a single option keeps its last occurrence
    switch (row.kind) {
    case SettingKind::whole:
        return parse_whole(last, static_cast<long long>(row.low), static_cast<long long>(row.high));
    case SettingKind::real: return parse_real(last, row.low, row.high);
    case SettingKind::text: return last;
    case SettingKind::flag: return last != "false";
    case SettingKind::list: return texts;
    }
    return last;
}

std::string range_text(const Setting& row) {
    if (row.kind == SettingKind::whole) {
        return "from " + std::to_string(static_cast<long long>(row.low)) + " to " +
               std::to_string(static_cast<long long>(row.high));
    }
    std::ostringstream text;
    text << "from " << row.low << " to " << row.high;
    return text.str();
}

// A value as the configuration file gives it.
SettingValue from_json(const Setting& row, const Json::Value& v) {
    switch (row.kind) {
    case SettingKind::whole:
        if (const auto whole = json_whole(v, static_cast<long long>(row.low), static_cast<long long>(row.high))) {
            return *whole;
        }
        throw std::invalid_argument("must be a whole number " + range_text(row));
    case SettingKind::real:
        if (!v.isNumeric() || !std::isfinite(v.asDouble()) || v.asDouble() < row.low || v.asDouble() > row.high) {
            throw std::invalid_argument("must be a number " + range_text(row));
        }
        return v.asDouble();
    case SettingKind::text:
        if (!v.isString()) throw std::invalid_argument("must be a string");
        return v.asString();
    case SettingKind::flag:
        if (!v.isBool()) throw std::invalid_argument("must be true or false");
        return v.asBool();
    case SettingKind::list: {
        std::vector<std::string> texts;
        if (!v.isArray()) throw std::invalid_argument("must be a list of strings");
        for (const Json::Value& item : v) {
            if (!item.isString()) throw std::invalid_argument("must be a list of strings");
            texts.push_back(item.asString());
        }
        return texts;
    }
    }
    throw std::invalid_argument("has no kind");
}

std::string value_problem(const Setting& row, const SettingValue& value) {
    if ((row.rules & kNotEmpty) != 0 && text_of(value).empty()) return "an empty value";
    return row.check != nullptr ? row.check(value) : "";
}

// "line.baud" as the section "line" and the key "baud"; "" for the top level.
std::pair<std::string, std::string> split_key(const char* key) {
    const std::string text = key;
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos) return {"", text};
    return {text.substr(0, dot), text.substr(dot + 1)};
}

}  // namespace

const std::vector<Setting>& settings_table() {
    static const std::vector<Setting> table = make_table();
    return table;
}

SettingsBuilder::SettingsBuilder() {
    for (const Setting& row : settings_table()) {
        if (*row.fallback != '\0') row.apply(settings_, from_texts(row, {row.fallback}));
    }
}

std::string SettingsBuilder::Where(const Setting& row, Source source) const {
    if (source == Source::command_line) {
        const std::string names = row.option;
        return names.substr(0, names.find(','));
    }
    return file_ + ": " + row.key;
}

void SettingsBuilder::Take(const Setting& row, const SettingValue& value, Source source) {
    if (const std::string problem = value_problem(row, value); !problem.empty()) {
        throw SettingsError(Where(row, source) + ": " + problem);
    }
    row.apply(settings_, value);
    given_[&row] = source;
}

void SettingsBuilder::ReadFile(const std::string& path, const std::string& text) {
    file_ = path;
    Json::Value parsed;
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &parsed, &errors)) throw SettingsError(path + ": not JSON: " + errors);
    const Json::Value& root = parsed;  // const: looking a key up adds none
    if (!root.isObject()) throw SettingsError(path + ": must hold a JSON object");
    const bool listed = root.isMember("lines");
    // What may stand where follows from the table's keys.
    std::map<std::string, std::vector<std::string>> known{{"", {"devices", "lines"}}};
    for (const Setting& row : settings_table()) {
        if (row.key == nullptr) continue;
        const auto [section, key] = split_key(row.key);
        std::vector<std::string>& top = known[""];
        if (!section.empty() && std::find(top.begin(), top.end(), section) == top.end()) top.push_back(section);
        known[section].push_back(key);
    }
    try {
        for (const auto& [section, keys] : known) {
            if (section.empty()) continue;
            const Json::Value& object = root[section];
            if (!object.isNull() && !object.isObject()) throw SettingsError(section + ": must be an object");
            refuse_unknown_keys(object, section + ".", keys);
        }
        refuse_unknown_keys(root, "", known[""]);
        if (listed) {
            if (root.isMember("line") || root.isMember("devices")) {
                throw SettingsError("lines: each line holds its own settings and devices; leave out line and devices");
            }
        } else {
            settings_.lines.front().devices = read_devices(root["devices"]);
        }
    } catch (const SettingsError& e) {
        throw SettingsError(path + ": " + e.what());
    }
    if (listed) ReadLines(root["lines"], known["line"]);
    for (const Setting& row : settings_table()) {
        if (row.key == nullptr) continue;
        const auto [section, key] = split_key(row.key);
        const Json::Value& object = section.empty() ? root : root[section];
        if (!object.isMember(key)) continue;
        try {
            Take(row, from_json(row, object[key]), Source::file);
        } catch (const std::invalid_argument& e) {
            throw SettingsError(Where(row, Source::file) + ": " + e.what());
        }
    }
}

// Each entry is read as the one-line form's line section, over the same
// defaults, with its own devices.
void SettingsBuilder::ReadLines(const Json::Value& lines, const std::vector<std::string>& line_keys) {
    if (!lines.isArray() || lines.empty() || lines.size() > kMostLines) {
        throw SettingsError(file_ + ": lines: must list from 1 to " + std::to_string(kMostLines) + " lines");
    }
    std::vector<std::string> keys = line_keys;
    keys.insert(keys.end(), {"devices", "simulator_args"});
    std::vector<LineConfig> read;
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
        const std::string where = file_ + ": lines[" + std::to_string(i) + "]";
        const Json::Value& entry = lines[i];
        if (!entry.isObject()) throw SettingsError(where + ": must be an object");
        HostSettings scratch;
        scratch.lines = {LineConfig{settings_.lines.front().line, {}, settings_.lines.front().emulate_line, {}}};
        const Setting* serial = nullptr;
        try {
            refuse_unknown_keys(entry, "", keys);
            scratch.lines.front().devices = read_devices(entry["devices"]);
            const Json::Value& args = entry["simulator_args"];
            if (!args.isNull() && !args.isArray()) throw SettingsError("simulator_args: must be a list of strings");
            for (const Json::Value& arg : args) {
                if (!arg.isString()) throw SettingsError("simulator_args: must be a list of strings");
                scratch.lines.front().sim_args.push_back(arg.asString());
            }
        } catch (const SettingsError& e) {
            throw SettingsError(where + "." + e.what());
        }
        for (const Setting& row : settings_table()) {
            const auto [section, key] = row.key == nullptr ? std::pair<std::string, std::string>() : split_key(row.key);
            if (section != "line" || !entry.isMember(key)) continue;
            try {
                const SettingValue value = from_json(row, entry[key]);
                if (const std::string problem = value_problem(row, value); !problem.empty()) {
                    throw std::invalid_argument(problem);
                }
                row.apply(scratch, value);
            } catch (const std::invalid_argument& e) {
                throw SettingsError(where + "." + key + ": " + e.what());
            }
            if ((row.rules & kSerialOnly) != 0) serial = &row;
        }
        if (serial != nullptr && scratch.lines.front().line.IsTcp()) {
            throw SettingsError(where + "." + split_key(serial->key).second +
                                ": a serial setting, but the line is Modbus TCP (tcp): leave one out");
        }
        read.push_back(std::move(scratch.lines.front()));
    }
    settings_.lines = std::move(read);
    lines_listed_ = true;
}

void SettingsBuilder::ReadCommandLine(const CommandLineValues& values) {
    for (const Setting& row : settings_table()) {
        const auto given = values.find(&row);
        if (given == values.end() || given->second.empty()) continue;
        const bool line_row = row.key == nullptr ? std::string(row.option) == "--slave" : split_key(row.key).first == "line";
        if (line_row && settings_.lines.size() > 1) {
            throw SettingsError(Where(row, Source::command_line) + ": the configuration lists " +
                                std::to_string(settings_.lines.size()) + " lines; set it in theirs");
        }
        try {
            Take(row, from_texts(row, given->second), Source::command_line);
        } catch (const std::invalid_argument& e) {
            throw SettingsError(Where(row, Source::command_line) + ": " + e.what());
        }
    }
}

// A serial setting beside a TCP address would be taken for one in force.
// The command line's transport replaces the file's, whose serial settings
// then have nothing to act on; one given where the address was, or later,
// is refused.
void SettingsBuilder::CheckTransport() const {
    if (!settings_.lines.front().line.IsTcp()) return;
    const Setting* tcp = nullptr;
    for (const Setting& row : settings_table()) tcp = row.key != nullptr && std::string(row.key) == "line.tcp" ? &row : tcp;
    // A line listed in the file was checked as it was read; only the command
    // line's serial options can stand beside its address.
    const auto given = given_.find(tcp);
    const Source transport = given == given_.end() ? Source::file : given->second;
    const std::string address = given == given_.end() ? file_ + ": lines[0].tcp" : Where(*tcp, transport);
    for (const auto& [row, source] : given_) {
        if ((row->rules & kSerialOnly) == 0 || source < transport) continue;
        if (source == Source::file) {
            const std::string key = split_key(row->key).second;
            throw SettingsError(Where(*row, source) + ": a serial setting, but the line is Modbus TCP (line.tcp): leave out " +
                                key + " or tcp");
        }
        throw SettingsError(Where(*row, source) + ": a serial setting, but the line is Modbus TCP (" + address +
                            "): leave it out");
    }
}

void SettingsBuilder::CheckNeeds() const {
    for (const auto& [row, source] : given_) {
        if ((row->rules & kNeedsMqtt) != 0 && settings_.mqtt.url.empty()) {
            throw SettingsError(Where(*row, source) + ": does nothing without a broker (--mqtt, or mqtt.url in the file)");
        }
        if ((row->rules & kNeedsHttp) != 0 && settings_.http.empty()) {
            throw SettingsError(Where(*row, source) + ": does nothing without the page (--http, or http in the file)");
        }
    }
    const auto where = [this](const char* option) {
        const auto given = std::find_if(given_.begin(), given_.end(), [option](const auto& g) {
            return g.first->option != nullptr && std::string(g.first->option) == option;
        });
        return given == given_.end() ? std::string(option) : Where(*given->first, given->second);
    };
    if (settings_.http_tls_certificate.empty() != settings_.http_tls_key.empty()) {
        throw SettingsError(where(settings_.http_tls_key.empty() ? "--http-tls-cert" : "--http-tls-key") +
                            ": HTTPS needs both the certificate and its key");
    }
    if (settings_.http_reads_need_login && settings_.http_users.empty()) {
        throw SettingsError(where("--http-login") + ": all, but nobody can log in: give --http-users FILE");
    }
    if (!settings_.http.empty() && settings_.allow_writes && settings_.http_users.empty() &&
        !is_loopback(parse_listen_address(settings_.http).host)) {
        throw SettingsError(where("--allow-writes") + ": the page listens beyond this machine (" + settings_.http +
                            "), where writes need a login: give --http-users FILE");
    }
    // Modbus TCP has no login: whoever reaches the server could write.
    if (!settings_.modbus_server.empty() && settings_.allow_writes &&
        !is_loopback(parse_listen_address(settings_.modbus_server).host)) {
        throw SettingsError(where("--allow-writes") + ": the Modbus server listens beyond this machine (" +
                            settings_.modbus_server + ") and Modbus TCP has no login: serve it on loopback or leave "
                            "writes off");
    }
    const auto allow = std::find_if(given_.begin(), given_.end(), [](const auto& given) {
        return given.first->key != nullptr && std::string(given.first->key) == "allow_writes";
    });
    if (settings_.allow_writes && settings_.http.empty() && settings_.mqtt.url.empty() &&
        settings_.modbus_server.empty()) {
        throw SettingsError(Where(*allow->first, allow->second) +
                            ": writes come through --http, --mqtt or --modbus-server; give one too");
    }
}

HostSettings SettingsBuilder::Finish() const {
    CheckTransport();
    CheckNeeds();
    const std::string where_lines = file_.empty() ? "" : file_ + ": ";
    std::map<std::uint32_t, std::size_t> line_of;  // data id to the line it is on
    std::map<int, std::size_t> unit_of;            // slave address to the line it is on
    for (std::size_t i = 0; i < settings_.lines.size() && lines_listed_; ++i) {
        const std::string problem = duplicate_device_problem(settings_.lines[i].devices);
        if (!problem.empty()) throw SettingsError(where_lines + "lines[" + std::to_string(i) + "]." + problem);
        for (const DeviceConfig& device : settings_.lines[i].devices) {
            const auto taken = line_of.emplace(device.data_id, i);
            if (!taken.second) {
                throw SettingsError(where_lines + "lines[" + std::to_string(i) + "]: data id " +
                                    std::to_string(device.data_id) + " is on lines[" + std::to_string(taken.first->second) +
                                    "] too: their records would be indistinguishable");
            }
            // The Modbus server serves each meter under its slave address, one unit id for the site.
            const auto unit = unit_of.emplace(device.slave, i);
            if (!unit.second && !settings_.modbus_server.empty()) {
                throw SettingsError(where_lines + "lines[" + std::to_string(i) + "]: slave " +
                                    std::to_string(device.slave) + " is on lines[" + std::to_string(unit.first->second) +
                                    "] too, and the Modbus server (modbus_server) serves each meter under its slave "
                                    "address: give them addresses that differ");
            }
        }
    }
    // One state file kept by several simulators would hold one's counters over another's.
    const auto simulated = std::count_if(settings_.lines.begin(), settings_.lines.end(), [](const LineConfig& l) {
        return l.line.port.empty() && (!l.line.IsTcp() || l.line.tcp == kTcpSimulator);
    });
    const bool shared_state = std::any_of(settings_.sim_args.begin(), settings_.sim_args.end(),
                                          [](const std::string& arg) { return arg.rfind("--state", 0) == 0; });
    if (simulated > 1 && shared_state) {
        throw SettingsError(where_lines + "simulator_args: --state would be one file for " + std::to_string(simulated) +
                            " simulated lines: give each line its own in its simulator_args");
    }
    if (const std::string problem = duplicate_device_problem(settings_.lines.front().devices); !problem.empty()) {
        // The first meter's address may be the command line's.
        const auto slave = std::find_if(given_.begin(), given_.end(), [](const auto& given) {
            return given.first->key == nullptr && std::string(given.first->option) == "--slave";
        });
        throw SettingsError((slave != given_.end() ? "--slave: " : file_.empty() ? "" : file_ + ": ") + problem);
    }
    return settings_;
}

HostSettings parse_settings_file(const std::string& path, const std::string& text) {
    SettingsBuilder builder;
    builder.ReadFile(path, text);
    return builder.Finish();
}

std::string read_settings_text(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw SettingsError(path + ": cannot be read");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

HostSettings load_settings_file(const std::string& path) { return parse_settings_file(path, read_settings_text(path)); }
