// Everything a bench host run is set up with: its lines, their meters, and
// what it does with them. Every value but the meters' is a row of the
// settings table (settings_table.h), which declares its name, type, range,
// default and help once for the configuration file and the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/config/meter_config.h"
#include "host/config/line_settings.h"

// quiet: only troubles, the write status and the summary;
// verbose: also every retry and the plug-in's own lines.
enum class Verbosity { quiet, normal, verbose };

struct OutputSettings {
    Verbosity verbosity = Verbosity::normal;
    bool json = false;      // one JSON object per line for every event, nothing else
    bool snapshot = false;  // the snapshot text after every cycle
};

struct MqttOptions {
    std::string url;  // mqtt://HOST[:PORT] or mqtts://; empty: no broker
    std::string client_id;
    std::string login_file;
    std::string ca_file;
    std::string prefix;
    bool discovery = false;
    std::string site;  // empty: made up from the machine
    std::string manufacturer;
    std::size_t queue = 0;
};

// Where the history goes and how long each kind of row stays (0: for
// good); records are committed together every batch_seconds.
struct HistorySettings {
    std::string file;  // empty: no history
    int raw_days = 0;
    int minute_days = 0;
    int hour_days = 0;
    double batch_seconds = 0;
};

// One bus and the meters on it: a serial port, a Modbus TCP gateway, or the
// simulated meter when neither is given.
struct LineConfig {
    LineSettings line;
    std::vector<DeviceConfig> devices;
    bool emulate_line = false;  // the simulated meter paces its bytes at the line speed
    std::vector<std::string> sim_args;  // this line's simulated meter's, after the run's
};

struct HostSettings {
    std::string plugin;
    // Never empty. The command line's line options set the first; a
    // configuration may list more, each polled on its own thread.
    std::vector<LineConfig> lines{1};
    int cycles = 0;  // 0: until stopped
    double interval_seconds = 0;
    HistorySettings history;
    std::vector<std::uint16_t> write;  // after the first cycle: the first register, then the values
    OutputSettings output;
    std::string http;  // [ADDR:]PORT of the live page; empty: none
    std::string http_users;                // credentials file; empty: nobody logs in
    bool http_reads_need_login = false;    // else only writes need one (when there are users)
    std::vector<std::string> http_hosts;   // further names the page is reached by
    std::string http_metrics = "on";       // /metrics: off, on (as the API's reads), open (no login)
    std::string http_tls_certificate, http_tls_key;  // PEM files; empty: plain HTTP
    bool allow_writes = false;
    std::string modbus_server;  // [ADDR:]PORT of the Modbus TCP server of the meters' registers; empty: none
    MqttOptions mqtt;
    std::vector<std::string> sim_args;  // handed to the simulated meter
};
