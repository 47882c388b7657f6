// Everything a bench host run is set up with: its lines, their meters, and
// what it does with them. Every value but the meters' is a row of the
// settings table (settings_table.h), which declares its name, type, range,
// default and help once for the configuration file and the command line.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/config/endpoints.h"
#include "host/config/line_settings.h"
#include "host/config/meter_config.h"

// quiet: only troubles, the write status and the summary;
// verbose: also every retry and the plug-in's own lines.
enum class Verbosity { quiet, normal, verbose };

// /metrics: not served, served as the API's reads are, or served to
// anyone who names the host (a scraper with no login, the page closed).
enum class MetricsAccess { off, on, open };

struct OutputSettings {
    Verbosity verbosity{};
    bool json{};      // one JSON object per line for every event, nothing else
    bool snapshot{};  // the snapshot text after every cycle
};

struct MqttOptions {
    std::optional<BrokerAddress> broker;  // none: no broker
    std::string client_id;
    std::string login_file;
    std::string ca_file;
    std::string prefix;
    bool discovery{};
    std::string manufacturer;
    std::size_t queue{};
};

// Where the history goes and how long each kind of row stays (0: for
// good); records are committed together every batch_seconds.
struct HistorySettings {
    std::string file;  // empty: no history
    int raw_days{};
    int minute_days{};
    int hour_days{};
    double batch_seconds{};
    std::string forward;  // a central PostgreSQL's URI; empty: kept on this box alone
};

// What a web hook is told: rises and clears of alarm rules; a meter failing
// and answering again; faults of the history (and its forwarding) and
// their end.
enum NotifyEvent : unsigned { kNotifyAlarms = 1U, kNotifyMeters = 2U, kNotifyFaults = 4U };
inline constexpr unsigned kNotifyEverything = kNotifyAlarms | kNotifyMeters | kNotifyFaults;

// One web hook: where events are posted and as what. With no body the
// event goes as our JSON; a body of its own is a template of the chat's or
// push service's, its {placeholders} filled per event.
struct NotifyTarget {
    WebUrl url;
    unsigned events = kNotifyEverything;
    std::string body;
    std::string content_type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;  // e.g. Authorization
};

struct NotifySettings {
    std::vector<NotifyTarget> targets;  // none: nobody is notified
    std::size_t queue{};                // events each hook holds while it is away, the oldest dropped first
    double timeout_seconds{};           // for one post, connection and answer
    std::string ca_file;                // empty: the system's certificate authorities
};

// A configuration's "notify": a list of URLs, or of objects with "url" and
// optionally "events", "body", "content_type" and "headers". Throws
// std::invalid_argument naming the entry ("notify[1].events: ...").
std::vector<NotifyTarget> read_notify_targets(const Json::Value& notify);

// One bus and the meters on it: a serial port, a Modbus TCP gateway, or the
// simulated meter when neither is given.
struct LineConfig {
    // As people call it; empty: its port's /dev/serial/by-id name, its
    // address, or "simulated line N" (line_name()).
    std::string name;
    LineSettings line;
    std::vector<DeviceConfig> devices;
    // Its meters' thresholds, over the site's, under each meter's own.
    std::map<std::string, Threshold> thresholds;
    bool emulate_line{};                // the simulated meter paces its bytes at the line speed
    std::vector<std::string> sim_args;  // this line's simulated meter's, after the run's
};

// No member has a default of its own: every one is a row of the settings
// table, which gives it (default_settings()).
struct HostSettings {
    std::string plugin;
    // Never empty. The command line's line options set the first; a
    // configuration may list more, each polled on its own thread.
    std::vector<LineConfig> lines{1};
    int cycles{};  // 0: until stopped
    double interval_seconds{};
    HistorySettings history;
    std::vector<std::uint16_t> write;  // after the first cycle: the first register, then the values
    OutputSettings output;
    std::optional<ListenAddress> http;         // the live page; none: no page
    std::string http_users;                    // credentials file; empty: nobody logs in
    bool http_reads_need_login{};              // else only writes need one (when there are users)
    std::vector<std::string> http_hosts;       // further names the page is reached by
    MetricsAccess http_metrics{};
    std::string http_tls_certificate, http_tls_key;  // PEM files; empty: plain HTTP
    bool allow_writes{};
    std::optional<ListenAddress> modbus_server;  // the Modbus TCP server of the meters' registers; none: no server
    MqttOptions mqtt;
    NotifySettings notify;
    // What names this box to Home Assistant and to a central history;
    // empty: made up from the machine (host/config/site_id.h).
    std::string site;
    // The zone the site's days, months and local times are in: an IANA name,
    // never empty once finished (host/common/site_zone.h).
    std::string site_timezone;
    std::vector<std::string> sim_args;  // handed to the simulated meter
    // Every meter's thresholds unless its line's or its own say otherwise;
    // merged into each meter's own when the settings are finished.
    std::map<std::string, Threshold> thresholds;
};

// A line's name as every outlet shows it: the configured one, else its
// port's name under /dev/serial/by-id (which stays as the adapter moves
// between /dev/ttyUSB numbers), its port, its Modbus TCP address, or
// "simulated line N" for the simulated meter, whose terminal changes at
// every start. `index` from 0.
std::string line_name(const LineConfig& line, std::size_t index);

// Every setting at the settings table's default, with the one meter of a
// configuration that lists none.
HostSettings default_settings();
