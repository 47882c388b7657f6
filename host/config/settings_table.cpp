#include "host/config/settings_table.h"

#include <json/reader.h>
#include <mosquitto.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <type_traits>

#include "host/common/line_speeds.h"
#include "host/common/number_text.h"
#include "host/common/site_zone.h"
#include "host/config/endpoints.h"
#include "host/config/write_request.h"

namespace {

const std::string& text_of(const SettingValue& v) { return std::get<std::string>(v); }
bool flag_of(const SettingValue& v) { return std::get<bool>(v); }

// The names of a setting's choices, each with what it means: one table per
// choice, for the check, the member and the help.
template <typename Choice>
struct Choices;
template <>
struct Choices<Rts> {
    static constexpr std::array<std::pair<const char*, Rts>, 3> kNames{
        {{"none", Rts::none}, {"up", Rts::up}, {"down", Rts::down}}};
};
template <>
struct Choices<Verbosity> {
    static constexpr std::array<std::pair<const char*, Verbosity>, 3> kNames{
        {{"normal", Verbosity::normal}, {"quiet", Verbosity::quiet}, {"verbose", Verbosity::verbose}}};
};
template <>
struct Choices<MetricsAccess> {
    static constexpr std::array<std::pair<const char*, MetricsAccess>, 3> kNames{
        {{"on", MetricsAccess::on}, {"open", MetricsAccess::open}, {"off", MetricsAccess::off}}};
};
template <>
struct Choices<char> {  // a serial line's parity
    static constexpr std::array<std::pair<const char*, char>, 3> kNames{{{"N", 'N'}, {"E", 'E'}, {"O", 'O'}}};
};

template <typename Choice>
std::string choice_problem(const SettingValue& v) {
    std::string list;
    for (const auto& [name, meaning] : Choices<Choice>::kNames) {
        if (text_of(v) == name) return "";
        list += (list.empty() ? "" : ", ") + std::string(name);
    }
    return "must be one of " + list + ", not \"" + text_of(v) + "\"";
}

// A checked value into its member, by the member's type: each type is
// parsed here once, and kept as what it is.
// Any whole number (int, a data id, a count: on a 32-bit target the last two
// are one type), its row's range checked already.
template <typename Whole>
std::enable_if_t<std::is_integral_v<Whole> && !std::is_same_v<Whole, bool> && !std::is_same_v<Whole, char>> put(
    Whole& member, const SettingValue& v) {
    member = static_cast<Whole>(std::get<long long>(v));
}
void put(std::optional<int>& member, const SettingValue& v) { member = static_cast<int>(std::get<long long>(v)); }
void put(double& member, const SettingValue& v) { member = std::get<double>(v); }
void put(bool& member, const SettingValue& v) { member = flag_of(v); }
void put(std::string& member, const SettingValue& v) { member = text_of(v); }
void put(std::vector<std::string>& member, const SettingValue& v) { member = std::get<std::vector<std::string>>(v); }
void put(Json::Value& member, const SettingValue& v) { member = std::get<Json::Value>(v); }
void put(std::optional<ListenAddress>& member, const SettingValue& v) { member = parse_listen_address(text_of(v)); }
void put(std::optional<BrokerAddress>& member, const SettingValue& v) { member = parse_broker_url(text_of(v)); }
void put(std::map<std::string, Threshold>& member, const SettingValue& v) { member = read_thresholds(std::get<Json::Value>(v)); }
template <typename Choice>
std::enable_if_t<std::is_enum_v<Choice> || std::is_same_v<Choice, char>> put(Choice& member, const SettingValue& v) {
    for (const auto& [name, meaning] : Choices<Choice>::kNames) {
        if (text_of(v) == name) member = meaning;
    }
}

// Where a row's value goes.
template <auto Member>
void host(HostSettings& s, const SettingValue& v) {
    put(s.*Member, v);
}
template <auto Member>
void line(HostSettings& s, const SettingValue& v) {
    put(s.lines.front().line.*Member, v);
}
template <auto Member>
void line_config(HostSettings& s, const SettingValue& v) {
    put(s.lines.front().*Member, v);
}
template <auto Member>
void history(HostSettings& s, const SettingValue& v) {
    put(s.history.*Member, v);
}
template <auto Member>
void output(HostSettings& s, const SettingValue& v) {
    put(s.output.*Member, v);
}
template <auto Member>
void mqtt(HostSettings& s, const SettingValue& v) {
    put(s.mqtt.*Member, v);
}
template <auto Member>
void device(DeviceConfig& d, const SettingValue& v) {
    put(d.*Member, v);
}

// Checked at start, so that a missing file is told before anything runs.
std::string readable_file(const SettingValue& v) {
    return access(text_of(v).c_str(), R_OK) == 0 ? std::string() : "cannot read " + text_of(v);
}

template <typename Parsed>
std::string problem_of(Parsed (*parse)(const std::string&), const SettingValue& v) {
    try {
        parse(text_of(v));
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::string object_problem(const SettingValue& v) {
    return std::get<Json::Value>(v).isObject() ? std::string() : "must be an object";
}

// Said relative to the row's own key: "110200010010.valeu: unknown key".
std::string thresholds_problem(const SettingValue& v) {
    try {
        read_thresholds(std::get<Json::Value>(v));
    } catch (const SettingsError& e) {
        const std::string said = e.what();
        const std::string own = "thresholds.";
        return said.rfind(own, 0) == 0 ? said.substr(own.size()) : said;
    }
    return "";
}

std::string notify_problem(const SettingValue& v) {
    try {
        read_notify_targets(std::get<Json::Value>(v));
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::string notify_urls_problem(const SettingValue& v) {
    for (const std::string& url : std::get<std::vector<std::string>>(v)) {
        if (std::string problem = problem_of(&parse_web_url, SettingValue(url)); !problem.empty()) return problem;
    }
    return "";
}

template <auto Member>
void notify(HostSettings& s, const SettingValue& v) {
    put(s.notify.*Member, v);
}

using K = SettingKind;
using S = SettingScope;
constexpr double kWholeLimit = 100000000;
// The most bytes of a text: a name goes into every output, a topic and a
// label; a host name as DNS has it; a path as the kernel takes it.
constexpr double kNameBytes = 128;
constexpr double kHostBytes = 253;
constexpr double kAddressBytes = 1024;
constexpr double kPathBytes = 4096;
const SettingValue kNone{};

// The rows. Their order is the order values are taken in: the TCP address
// after the port, so that a line given both is refused as TCP with a port.
std::vector<Setting> make_table() {
    return {
        {"plugin", "--plugin", S::host, K::text, 0, kPathBytes, std::string(QV5810_DEFAULT_PLUGIN), "device plug-in to load",
         kNotEmpty, nullptr, &host<&HostSettings::plugin>, nullptr, nullptr},
        {"line.name", nullptr, S::line, K::text, 0, kNameBytes, kNone,
         "the line's name in every output (default: its port's /dev/serial/by-id name, its address, or "
         "simulated line N)",
         kNotEmpty, nullptr, &line_config<&LineConfig::name>, nullptr, nullptr},
        {"line.port", "--port", S::line, K::text, 0, kPathBytes, kNone,
         "serial device (a pseudo-terminal too); empty or left out: start the simulated meter", kSerialOnly, nullptr,
         [](HostSettings& s, const SettingValue& v) {
             LineSettings& l = s.lines.front().line;
             l.port = text_of(v);
             l.tcp.reset();
             l.tcp_simulated = false;
         },
         nullptr, nullptr},
        {"line.tcp", "--tcp", S::line, K::text, 0, kAddressBytes, kNone,
         "HOST:PORT of a Modbus TCP server or gateway, instead of a serial port; sim: the simulated meter", kNotEmpty,
         [](const SettingValue& v) { return text_of(v) == "sim" ? std::string() : problem_of(&parse_tcp_address, v); },
         [](HostSettings& s, const SettingValue& v) {
             LineSettings& l = s.lines.front().line;
             l.tcp_simulated = text_of(v) == "sim";
             l.tcp.reset();
             if (!l.tcp_simulated) l.tcp = parse_tcp_address(text_of(v));
             l.port.clear();
         },
         nullptr, nullptr},
        {"line.baud", "--baud", S::line, K::whole, 1, 4000000, 9600LL, "line speed", kSerialOnly,
         [](const SettingValue& v) {
             const long long baud = std::get<long long>(v);
             return is_line_speed(baud) ? std::string() : std::to_string(baud) + " is not one of " + line_speed_list();
         },
         &line<&LineSettings::baud>, nullptr, nullptr},
        {"line.parity", "--parity", S::line, K::text, 0, kNameBytes, std::string("N"), "N, E or O", kSerialOnly,
         &choice_problem<char>, &line<&LineSettings::parity>, nullptr, nullptr},
        {"line.data_bits", "--data-bits", S::line, K::whole, 7, 8, 8LL, "data bits", kSerialOnly, nullptr,
         &line<&LineSettings::data_bits>, nullptr, nullptr},
        {"line.stop_bits", "--stop-bits", S::line, K::whole, 1, 2, 1LL, "stop bits", kSerialOnly, nullptr,
         &line<&LineSettings::stop_bits>, nullptr, nullptr},
        {"line.response_timeout_ms", "--timeout-ms,--response-timeout-ms", S::line, K::whole, 1, 60000, 1000LL,
         "ms from the end of a request to the first byte of its answer", 0, nullptr,
         &line<&LineSettings::response_timeout_ms>, nullptr, nullptr},
        {"line.byte_timeout_ms", "--byte-timeout-ms", S::line, K::whole, 0, 60000, 500LL,
         "longest silence inside an answer, ms; 0: the whole answer within the response timeout", 0, nullptr,
         &line<&LineSettings::byte_timeout_ms>, nullptr, nullptr},
        {"line.retries", "--retries", S::line, K::whole, 0, 10, 2LL, "further attempts after a failed request", 0, nullptr,
         &line<&LineSettings::retries>, nullptr, nullptr},
        {"line.rs485", "--rs485", S::line, K::flag, 0, 0, false, "put the port in the kernel driver's RS-485 mode",
         kSerialOnly, nullptr, &line<&LineSettings::rs485>, nullptr, nullptr},
        {"line.rts", "--rts", S::line, K::text, 0, kNameBytes, std::string("none"),
         "none, up or down: RTS level libmodbus sets while sending", kSerialOnly, &choice_problem<Rts>,
         &line<&LineSettings::rts>, nullptr, nullptr},
        {"line.rts_delay_us", "--rts-delay-us", S::line, K::whole, 0, 1000000, kNone,
         "RTS settling time before and after sending, us (default: one character)", kSerialOnly, nullptr,
         &line<&LineSettings::rts_delay_us>, nullptr, nullptr},
        {"line.delay_ms", "--delay-ms", S::line, K::whole, 0, 10000, 0LL, "silence kept before each request, ms", 0,
         nullptr, &line<&LineSettings::delay_ms>, nullptr, nullptr},
        {"line.emulate_line", "--emulate-line", S::line, K::flag, 0, 0, false,
         "simulated meter: pace bytes at the line speed", kSerialOnly, nullptr, &line_config<&LineConfig::emulate_line>,
         nullptr, nullptr},
        {nullptr, "--slave", S::host, K::whole, static_cast<double>(kSlaveAddresses.low),
         static_cast<double>(kSlaveAddresses.high), kNone,
         "slave address of the first meter (default: the configuration's)", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) {
             std::vector<DeviceConfig>& devices = s.lines.front().devices;
             if (devices.empty()) return;  // the configuration lists at least one; a test may not
             devices.front().slave = static_cast<int>(std::get<long long>(v));
             devices.front().setting["modbus"]["slave"] = devices.front().slave;
         },
         nullptr, nullptr},
        {"interval", "--interval", S::host, K::real, 0, 3600, 1.0, "seconds from the start of one poll cycle to the next",
         0, nullptr, &host<&HostSettings::interval_seconds>, nullptr, nullptr},
        {"cycles", "--cycles", S::host, K::whole, 0, kWholeLimit, 0LL, "poll cycles to run; 0: until stopped", 0,
         nullptr, &host<&HostSettings::cycles>, nullptr, nullptr},
        {"history", "--history", S::host, K::text, 0, kPathBytes, kNone, "SQLite file for the device history; reloaded on start",
         kNotEmpty, nullptr, &history<&HistorySettings::file>, nullptr, nullptr},
        {"history_raw_days", "--history-raw-days", S::host, K::whole, 0, 36500, 7LL,
         "days each record is kept whole, its quantities as columns; 0: for good", 0, nullptr,
         &history<&HistorySettings::raw_days>, nullptr, nullptr},
        {"history_minute_days", "--history-minute-days", S::host, K::whole, 0, 36500, 3650LL,
         "days the per-minute least, mean and greatest of each quantity are kept; 0: for good", 0, nullptr,
         &history<&HistorySettings::minute_days>, nullptr, nullptr},
        {"history_hour_days", "--history-hour-days", S::host, K::whole, 0, 36500, 0LL,
         "days the per-hour aggregates are kept; 0: for good", 0, nullptr, &history<&HistorySettings::hour_days>,
         nullptr, nullptr},
        {"history_batch_s", "--history-batch-s", S::host, K::real, 0, 60, 5.0,
         "seconds of records stored together in one transaction (what a power cut can lose at most)", 0, nullptr,
         &history<&HistorySettings::batch_seconds>, nullptr, nullptr},
        {"history_forward", "--history-forward", S::host, K::text, 0, kAddressBytes, kNone,
         "forward the history to a central PostgreSQL, postgresql://USER@HOST[:PORT]/DATABASE?sslmode=verify-full "
         "(its password from a password file or PGPASSWORD, never in the URI)",
         kNeedsHistory | kNotEmpty, [](const SettingValue& v) { return central_uri_problem(text_of(v)); },
         &history<&HistorySettings::forward>, nullptr, nullptr},
        {"site", "--site", S::host, K::text, 0, kNameBytes, kNone,
         "this box's name toward Home Assistant and a central history, unique among the boxes (default: a digest "
         "of the machine id and the MQTT prefix)",
         kNotEmpty, nullptr, &host<&HostSettings::site>, nullptr, nullptr},
        {"site_timezone", "--site-timezone", S::host, K::text, 0, kNameBytes, kNone,
         "the site's time zone, an IANA name like Europe/Berlin: its local times, days, weeks and months in the "
         "history's exports and energy figures (default: TZ, else the zone /etc/localtime names, else UTC)",
         kNotEmpty, [](const SettingValue& v) { return site_zone_problem(text_of(v)); },
         &host<&HostSettings::site_timezone>, nullptr, nullptr},
        {nullptr, "--write", S::host, K::text, 0, kPathBytes, kNone,
         "after the first cycle write ADDR=V (one register) or ADDR=V,V,...", 0,
         [](const SettingValue& v) {
             std::string problem;
             parse_write_words(text_of(v), problem);
             return problem;
         },
         [](HostSettings& s, const SettingValue& v) {
             std::string problem;
             s.write = parse_write_words(text_of(v), problem);
         },
         nullptr, nullptr},
        {"snapshot", "--snapshot", S::host, K::flag, 0, 0, false, "show the JSON snapshot text after every cycle", 0,
         nullptr, &output<&OutputSettings::snapshot>, nullptr, nullptr},
        {"json", "--json", S::host, K::flag, 0, 0, false, "one JSON object per line for every event, nothing else on stdout",
         0, nullptr, &output<&OutputSettings::json>, nullptr, nullptr},
        {"output", "--output", S::host, K::text, 0, kNameBytes, std::string("normal"),
         "normal, quiet (only troubles, the write status and the summary) or verbose", 0, &choice_problem<Verbosity>,
         &output<&OutputSettings::verbosity>, nullptr, nullptr},
        {nullptr, "--quiet,-q", S::host, K::flag, 0, 0, kNone, "only troubles, the write status and the summary", 0,
         nullptr,
         [](HostSettings& s, const SettingValue& v) {
             if (flag_of(v)) s.output.verbosity = Verbosity::quiet;
         },
         nullptr, "--verbose"},
        {nullptr, "--verbose,-v", S::host, K::flag, 0, 0, kNone,
         "also every retry and the plug-in's own lines (on standard error)", 0, nullptr,
         [](HostSettings& s, const SettingValue& v) {
             if (flag_of(v)) s.output.verbosity = Verbosity::verbose;
         },
         nullptr, nullptr},
        {"http", "--http", S::host, K::text, 0, kAddressBytes, kNone,
         "serve the live page and the HTTP API on [ADDR:]PORT (address 127.0.0.1 when none; port 0: any)", kNotEmpty,
         [](const SettingValue& v) { return problem_of(&parse_listen_address, v); }, &host<&HostSettings::http>,
         nullptr, nullptr},
        {"http_users", "--http-users", S::host, K::text, 0, kPathBytes, kNone,
         "file of who may log in to the page and the API (qmxhost passwd, qmxhost token); writes then need a login",
         kNeedsHttp | kNotEmpty, readable_file, &host<&HostSettings::http_users>, nullptr, nullptr},
        {"http_login", "--http-login", S::host, K::text, 0, kNameBytes, std::string("writes"),
         "writes (a login to write registers) or all (a login to see anything but the login)", kNeedsHttp,
         [](const SettingValue& v) {
             return text_of(v) == "writes" || text_of(v) == "all"
                        ? std::string()
                        : "must be one of writes, all, not \"" + text_of(v) + "\"";
         },
         [](HostSettings& s, const SettingValue& v) { s.http_reads_need_login = text_of(v) == "all"; }, nullptr, nullptr},
        {"http_metrics", "--http-metrics", S::host, K::text, 0, kNameBytes, std::string("on"),
         "/metrics for Prometheus: on (a login when reads need one), open (never a login), or off", kNeedsHttp,
         &choice_problem<MetricsAccess>, &host<&HostSettings::http_metrics>, nullptr, nullptr},
        {"http_hosts", "--http-host", S::host, K::list, 0, kHostBytes, kNone,
         "a name the page is reached by, beside the addresses it listens on (repeatable)", kNeedsHttp, nullptr,
         &host<&HostSettings::http_hosts>, nullptr, nullptr},
        {"http_tls_cert", "--http-tls-cert", S::host, K::text, 0, kPathBytes, kNone, "serve HTTPS with this certificate chain (PEM)",
         kNeedsHttp | kNotEmpty, readable_file, &host<&HostSettings::http_tls_certificate>, nullptr, nullptr},
        {"http_tls_key", "--http-tls-key", S::host, K::text, 0, kPathBytes, kNone, "the certificate's private key (PEM)",
         kNeedsHttp | kNotEmpty, readable_file, &host<&HostSettings::http_tls_key>, nullptr, nullptr},
        {"allow_writes", "--allow-writes", S::host, K::flag, 0, 0, false,
         "let the HTTP API (POST /api/devices/ID/registers), MQTT (set/registers) and the Modbus server "
         "(functions 6 and 16) write registers",
         0, nullptr, &host<&HostSettings::allow_writes>, nullptr, nullptr},
        {"modbus_server", "--modbus-server", S::host, K::text, 0, kAddressBytes, kNone,
         "serve the meters' registers as the last cycle read them over Modbus TCP on [ADDR:]PORT (address "
         "127.0.0.1 when none; port 0: any), each meter under its slave address",
         kNotEmpty, [](const SettingValue& v) { return problem_of(&parse_listen_address, v); },
         &host<&HostSettings::modbus_server>, nullptr, nullptr},
        {"mqtt.url", "--mqtt", S::host, K::text, 0, kAddressBytes, kNone, "publish to the broker at mqtt://HOST[:PORT] (mqtts:// for TLS)",
         kNotEmpty, [](const SettingValue& v) { return problem_of(&parse_broker_url, v); }, &mqtt<&MqttOptions::broker>,
         nullptr, nullptr},
        {"mqtt.client_id", "--mqtt-client-id", S::host, K::text, 0, kNameBytes, kNone,
         "MQTT client id of the host's one connection (default qmxhost-HOSTNAME-PID)", kNeedsMqtt | kNotEmpty, nullptr,
         &mqtt<&MqttOptions::client_id>, nullptr, nullptr},
        {"mqtt.login", "--mqtt-login", S::host, K::text, 0, kPathBytes, kNone,
         "file with the MQTT user name and password on two lines (default: QV5810_MQTT_USERNAME and "
         "QV5810_MQTT_PASSWORD from the environment)",
         kNeedsMqtt | kNotEmpty, nullptr, &mqtt<&MqttOptions::login_file>, nullptr, nullptr},
        {"mqtt.ca", "--mqtt-ca", S::host, K::text, 0, kPathBytes, kNone,
         "with mqtts://: the CA certificates (PEM) the broker's must chain to (default: the system's)",
         kNeedsMqtt | kNotEmpty, readable_file, &mqtt<&MqttOptions::ca_file>, nullptr, nullptr},
        {"mqtt.prefix", "--mqtt-prefix", S::host, K::text, 0, kNameBytes, std::string("qv5810/"), "topic prefix, ending in /",
         kNeedsMqtt, [](const SettingValue& v) { return mqtt_prefix_problem(text_of(v)); }, &mqtt<&MqttOptions::prefix>,
         nullptr, nullptr},
        {"mqtt.discovery", "--mqtt-discovery", S::host, K::flag, 0, 0, false,
         "publish Home Assistant discovery: every quantity and alarm rule of every meter", kNeedsMqtt, nullptr,
         &mqtt<&MqttOptions::discovery>, nullptr, nullptr},
        {"mqtt.site", "--mqtt-site", S::host, K::text, 0, kNameBytes, kNone, "the old spelling of site (--site)",
         kNeedsMqtt | kNotEmpty, nullptr, &host<&HostSettings::site>, nullptr, nullptr},
        {"mqtt.manufacturer", "--mqtt-manufacturer", S::host, K::text, 0, kNameBytes, kNone,
         "the meters' maker as Home Assistant shows it, from their nameplate", kNeedsMqtt | kNotEmpty, nullptr,
         &mqtt<&MqttOptions::manufacturer>, nullptr, nullptr},
        {"mqtt.queue", "--mqtt-queue", S::host, K::whole, 1, 1000000, 1000LL,
         "messages kept while the broker is away, the oldest dropped first", kNeedsMqtt, nullptr,
         &mqtt<&MqttOptions::queue>, nullptr, nullptr},
        {"notify", nullptr, S::host, K::object, 0, 0, kNone,
         "web hooks to post events to: URLs, or objects with \"url\", \"events\" (alarms, meters, faults), "
         "\"body\" (a template), \"content_type\" and \"headers\"",
         0, notify_problem,
         [](HostSettings& s, const SettingValue& v) { s.notify.targets = read_notify_targets(std::get<Json::Value>(v)); },
         nullptr, nullptr},
        {nullptr, "--notify", S::host, K::list, 0, kAddressBytes, kNone,
         "post every event (alarms, meters, faults) as JSON to this http:// or https:// URL (repeatable; replaces "
         "the file's notify)",
         0, notify_urls_problem,
         [](HostSettings& s, const SettingValue& v) {
             s.notify.targets.clear();
             for (const std::string& url : std::get<std::vector<std::string>>(v)) {
                 NotifyTarget target;
                 target.url = parse_web_url(url);
                 s.notify.targets.push_back(std::move(target));
             }
         },
         nullptr, nullptr},
        {"notify_queue", "--notify-queue", S::host, K::whole, 1, 100000, 1000LL,
         "events each web hook holds while it is away, the oldest dropped first", 0, nullptr,
         &notify<&NotifySettings::queue>, nullptr, nullptr},
        {"notify_timeout_s", "--notify-timeout-s", S::host, K::real, 1, 120, 10.0,
         "seconds one post may take, from connecting to the answer; then it is tried again", 0, nullptr,
         &notify<&NotifySettings::timeout_seconds>, nullptr, nullptr},
        {"notify_ca", "--notify-ca", S::host, K::text, 0, kPathBytes, kNone,
         "the CA certificates (PEM) an https:// web hook's certificate must chain to (default: the system's)", kNotEmpty,
         readable_file, &notify<&NotifySettings::ca_file>, nullptr, nullptr},
        {"thresholds", nullptr, S::host, K::object, 0, 0, kNone,
         "per alarm key, {\"level\", \"value\"} for every meter unless its line's or its own thresholds say otherwise",
         0, thresholds_problem, &host<&HostSettings::thresholds>, nullptr, nullptr},
        {"line.thresholds", nullptr, S::line, K::object, 0, 0, kNone,
         "per alarm key, {\"level\", \"value\"} for the line's meters, over the site's thresholds", 0,
         thresholds_problem, &line_config<&LineConfig::thresholds>, nullptr, nullptr},
        {"simulator_args", "--sim-arg", S::host, K::list, 0, kPathBytes, kNone, "an option for the simulated meter (repeatable)",
         0, nullptr, &host<&HostSettings::sim_args>, nullptr, nullptr},
        // A meter's own keys, in each entry of "devices".
        {"name", nullptr, S::device, K::text, 0, kNameBytes, kNone, "the meter's name (default: meter N, N its place in the list)",
         0, nullptr, nullptr, &device<&DeviceConfig::name>, nullptr},
        {"data_id", nullptr, S::device, K::whole, static_cast<double>(kDataIds.low), static_cast<double>(kDataIds.high),
         kNone, "the meter's data id toward the controller, unique in the site (default: its place in the list)", 0,
         nullptr, nullptr, &device<&DeviceConfig::data_id>, nullptr},
        {"slave", nullptr, S::device, K::whole, static_cast<double>(kSlaveAddresses.low),
         static_cast<double>(kSlaveAddresses.high), 1LL, "the meter's slave address, unique on its line", 0, nullptr,
         nullptr, &device<&DeviceConfig::slave>, nullptr},
        {"thresholds", nullptr, S::device, K::object, 0, 0, Json::Value(Json::objectValue),
         "per alarm key, the controller's {\"level\", \"value\"}, over its line's and the site's", 0,
         thresholds_problem, nullptr, &device<&DeviceConfig::thresholds>, nullptr},
        {"setting", nullptr, S::device, K::object, 0, 0, Json::Value(Json::objectValue),
         "handed to the device's InitSetting as it is; modbus.slave filled in", 0, object_problem, nullptr,
         &device<&DeviceConfig::setting>, nullptr},
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
    case SettingKind::object: break;
    }
    throw std::invalid_argument("is given in the configuration file only");
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
    case SettingKind::object: return v;
    }
    throw std::invalid_argument("has no kind");
}

// A text goes out as it is, in the journal, JSON, topics and labels: within
// its row's bytes, and UTF-8 by MQTT's rule (no NUL, no control characters),
// which the broker's library holds every text it sends to.
std::string text_problem(const Setting& row, const std::string& text) {
    if (text.size() > static_cast<std::size_t>(row.high)) {
        return "is " + std::to_string(text.size()) + " bytes long, at most " +
               std::to_string(static_cast<long long>(row.high));
    }
    if (mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS) {
        return "is not valid UTF-8 text (or holds control characters)";
    }
    return "";
}

std::string value_problem(const Setting& row, const SettingValue& value) {
    if (row.kind == SettingKind::text) {
        if (std::string problem = text_problem(row, text_of(value)); !problem.empty()) return problem;
    }
    if (row.kind == SettingKind::list) {
        const auto& texts = std::get<std::vector<std::string>>(value);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (std::string problem = text_problem(row, texts[i]); !problem.empty()) {
                return "entry " + std::to_string(i + 1) + " " + problem;
            }
        }
    }
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

const Setting* row_keyed(const char* key) {
    for (const Setting& row : settings_table()) {
        if (row.key != nullptr && row.scope != SettingScope::device && std::string(row.key) == key) return &row;
    }
    return nullptr;
}

DeviceConfig read_device(const Json::Value& entry, std::size_t index) {
    const std::string at = "devices[" + std::to_string(index) + "]";
    if (!entry.isObject()) throw SettingsError(at + ": must be an object");
    std::vector<std::string> keys;
    for (const Setting& row : settings_table()) {
        if (row.scope == SettingScope::device) keys.push_back(row.key);
    }
    DeviceConfig config;
    config.name = "meter " + std::to_string(index + 1);
    config.data_id = static_cast<std::uint32_t>(index + 1);
    try {
        refuse_unknown_keys(entry, "", keys);
        for (const Setting& row : settings_table()) {
            if (row.scope != SettingScope::device) continue;
            SettingValue value = row.fallback;
            if (entry.isMember(row.key)) {
                try {
                    value = from_json(row, entry[row.key]);
                } catch (const std::invalid_argument& e) {
                    throw SettingsError(std::string(row.key) + ": " + e.what());
                }
                if (const std::string problem = value_problem(row, value); !problem.empty()) {
                    throw SettingsError(std::string(row.key) + ": " + problem);
                }
            }
            if (!std::holds_alternative<std::monostate>(value)) row.apply_device(config, value);
        }
    } catch (const SettingsError& e) {
        throw SettingsError(at + "." + e.what());
    }
    // The controller's Modbus master takes the slave address from the
    // setting; one given there must agree with the meter's "slave".
    const Json::Value& setting = config.setting;
    if (setting.isMember("modbus") && !setting["modbus"].isObject()) {
        throw SettingsError(at + ".setting.modbus: must be an object");
    }
    if (setting.isMember("modbus") && setting["modbus"].isMember("slave") &&
        setting["modbus"]["slave"] != Json::Value(config.slave)) {
        throw SettingsError(at + ".setting.modbus.slave: differs from \"slave\" " + std::to_string(config.slave) +
                            ": leave it out, the bench host fills it in");
    }
    config.setting["modbus"]["slave"] = config.slave;
    return config;
}

}  // namespace

const std::vector<Setting>& settings_table() {
    static const std::vector<Setting> table = make_table();
    return table;
}

std::string default_text(const Setting& row) {
    const SettingValue& v = row.fallback;
    if (const auto* whole = std::get_if<long long>(&v)) return std::to_string(*whole);
    if (const auto* real = std::get_if<double>(&v)) {
        std::ostringstream text;
        text << *real;
        return text.str();
    }
    if (const auto* text = std::get_if<std::string>(&v)) return *text;
    return "";  // none, a flag that is off, or an object
}

std::vector<DeviceConfig> read_devices(const Json::Value& devices) {
    if (!devices.isArray() || devices.empty()) throw SettingsError("devices: must list at least one meter");
    std::vector<DeviceConfig> read;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) read.push_back(read_device(devices[i], i));
    return read;
}

std::string line_name(const LineConfig& line, std::size_t index) {
    if (!line.name.empty()) return line.name;
    const LineSettings& l = line.line;
    if (l.tcp && !l.tcp_simulated) return l.tcp->Text();
    if (l.port.empty() || l.tcp_simulated) return "simulated line " + std::to_string(index + 1);
    const std::string by_id = "/dev/serial/by-id/";
    if (l.port.rfind(by_id, 0) == 0) return l.port.substr(by_id.size());
    // The link under by-id that leads to this port, if the adapter has one.
    std::error_code failed;
    const std::filesystem::path port = std::filesystem::canonical(l.port, failed);
    if (!failed) {
        for (const auto& entry : std::filesystem::directory_iterator(by_id, failed)) {
            std::error_code other;
            if (std::filesystem::canonical(entry.path(), other) == port && !other) return entry.path().filename().string();
        }
    }
    return l.port;
}

const char* value_name(SettingKind kind) {
    switch (kind) {
    case SettingKind::whole: return "N";
    case SettingKind::real: return "X";
    case SettingKind::list: return "OPTION";
    default: return "TEXT";
    }
}

HostSettings default_settings() {
    HostSettings settings;
    for (const Setting& row : settings_table()) {
        if (row.scope != SettingScope::device && !std::holds_alternative<std::monostate>(row.fallback)) {
            row.apply(settings, row.fallback);
        }
    }
    Json::Value one_meter(Json::arrayValue);
    one_meter.append(Json::objectValue);
    settings.lines.front().devices = read_devices(one_meter);
    return settings;
}

SettingsBuilder::SettingsBuilder() : settings_(default_settings()) { settings_.lines.front().devices.clear(); }

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
    try {
        if (!Json::parseFromStream(builder, in, &parsed, &errors)) {
            // "* Line 3, Column 7\n  Missing ',' or '}'…\n* Line …": the first
            // place and what is wrong there, on one line as a compiler says it.
            unsigned line = 0, column = 0;
            const std::size_t end = errors.find('\n');
            std::string what = end == std::string::npos ? "" : errors.substr(end + 1);
            what = what.substr(0, what.find('\n'));
            what.erase(0, what.find_first_not_of(' ') == std::string::npos ? what.size() : what.find_first_not_of(' '));
            if (std::sscanf(errors.c_str(), "* Line %u, Column %u", &line, &column) == 2) {
                throw SettingsError(path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": not JSON: " + what);
            }
            throw SettingsError(path + ": not JSON: " + (what.empty() ? errors.substr(0, end) : what));
        }
    } catch (const Json::Exception& e) {
        throw SettingsError(path + ": not JSON: " + e.what());
    }
    const Json::Value& root = parsed;  // const: looking a key up adds none
    if (!root.isObject()) throw SettingsError(path + ": must hold a JSON object");
    const bool listed = root.isMember("lines");
    // What may stand where follows from the table's keys.
    std::map<std::string, std::vector<std::string>> known{{"", {"devices", "lines"}}};
    for (const Setting& row : settings_table()) {
        if (row.key == nullptr || row.scope == SettingScope::device) continue;
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
        if (row.key == nullptr || row.scope == SettingScope::device) continue;
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
        LineConfig defaults;
        defaults.line = settings_.lines.front().line;
        defaults.emulate_line = settings_.lines.front().emulate_line;
        scratch.lines = {defaults};
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
            if (row.scope != SettingScope::line || row.key == nullptr) continue;
            const std::string key = split_key(row.key).second;
            if (!entry.isMember(key)) continue;
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
        const bool line_row = row.scope == SettingScope::line || (row.key == nullptr && std::string(row.option) == "--slave");
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
    const Setting* tcp = row_keyed("line.tcp");
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
        if ((row->rules & kNeedsMqtt) != 0 && !settings_.mqtt.broker) {
            throw SettingsError(Where(*row, source) + ": does nothing without a broker (--mqtt, or mqtt.url in the file)");
        }
        if ((row->rules & kNeedsHttp) != 0 && !settings_.http) {
            throw SettingsError(Where(*row, source) + ": does nothing without the page (--http, or http in the file)");
        }
        if ((row->rules & kNeedsHistory) != 0 && settings_.history.file.empty()) {
            throw SettingsError(Where(*row, source) + ": forwards the history, and there is none (--history, or "
                                                      "history in the file)");
        }
    }
    // Two spellings of one setting: which one meant it?
    const auto site = given_.find(row_keyed("site"));
    const auto old_site = given_.find(row_keyed("mqtt.site"));
    if (site != given_.end() && old_site != given_.end()) {
        throw SettingsError(Where(*old_site->first, old_site->second) + ": the old spelling of site, which " +
                            Where(*site->first, site->second) + " gives too: keep one");
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
    if (settings_.http && settings_.allow_writes && settings_.http_users.empty() && !is_loopback(settings_.http->host)) {
        throw SettingsError(where("--allow-writes") + ": the page listens beyond this machine (" + settings_.http->Text() +
                            "), where writes need a login: give --http-users FILE");
    }
    // Modbus TCP has no login: whoever reaches the server could write.
    if (settings_.modbus_server && settings_.allow_writes && !is_loopback(settings_.modbus_server->host)) {
        throw SettingsError(where("--allow-writes") + ": the Modbus server listens beyond this machine (" +
                            settings_.modbus_server->Text() +
                            ") and Modbus TCP has no login: serve it on loopback or leave writes off");
    }
    const auto allow = given_.find(row_keyed("allow_writes"));
    if (settings_.allow_writes && !settings_.http && !settings_.mqtt.broker && !settings_.modbus_server &&
        allow != given_.end()) {
        throw SettingsError(Where(*allow->first, allow->second) +
                            ": writes come through --http, --mqtt or --modbus-server; give one too");
    }
}

HostSettings SettingsBuilder::Finish() const {
    CheckTransport();
    CheckNeeds();
    // Each meter is handed its whole table: the site's, its line's over it, its own over both.
    HostSettings finished = settings_;
    // The system's zone when none is set: one the database does not know reads as UTC.
    if (finished.site_timezone.empty()) finished.site_timezone = SiteZone::OrSystem("").name();
    for (LineConfig& line : finished.lines) {
        for (DeviceConfig& device : line.devices) {
            std::map<std::string, Threshold> merged = finished.thresholds;
            for (const auto& [key, threshold] : line.thresholds) merged[key] = threshold;
            for (const auto& [key, threshold] : device.thresholds) merged[key] = threshold;
            device.thresholds = std::move(merged);
        }
    }
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
            if (!unit.second && settings_.modbus_server) {
                throw SettingsError(where_lines + "lines[" + std::to_string(i) + "]: slave " +
                                    std::to_string(device.slave) + " is on lines[" + std::to_string(unit.first->second) +
                                    "] too, and the Modbus server (modbus_server) serves each meter under its slave "
                                    "address: give them addresses that differ");
            }
        }
    }
    // Every output tells the lines apart by their names.
    for (std::size_t i = 0; i < settings_.lines.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (!settings_.lines[i].name.empty() && settings_.lines[i].name == settings_.lines[j].name) {
                throw SettingsError(where_lines + "lines[" + std::to_string(i) + "].name: \"" + settings_.lines[i].name +
                                    "\" is lines[" + std::to_string(j) + "]'s name too: give each line its own");
            }
        }
    }
    // One state file kept by several simulators would hold one's counters over another's.
    const auto simulated = std::count_if(settings_.lines.begin(), settings_.lines.end(), [](const LineConfig& l) {
        return l.line.port.empty() && (!l.line.IsTcp() || l.line.tcp_simulated);
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
    return finished;
}

HostSettings parse_settings_file(const std::string& path, const std::string& text) {
    SettingsBuilder builder;
    builder.ReadFile(path, text);
    return builder.Finish();
}

std::string read_settings_text(const std::string& path) {
    std::error_code unknown;
    if (std::filesystem::is_directory(path, unknown)) throw SettingsError(path + ": is a directory, not a configuration file");
    std::ifstream file(path);
    if (!file) throw SettingsError(path + ": cannot be read");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

HostSettings load_settings_file(const std::string& path) { return parse_settings_file(path, read_settings_text(path)); }
