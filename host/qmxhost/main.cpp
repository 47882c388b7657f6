// qmxhost: loads a device plug-in the way the controller does and runs it
// against a real Modbus RTU line or Modbus TCP server, or against the
// simulated meter.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include <modbus.h>

#include "host/common/line_speeds.h"
#include "host/live/http_server.h"
#include "host/live/live_state.h"
#include "host/mqtt/mqtt_sink.h"
#include "host/common/number_options.h"
#include "host/qmxhost/bench_host.h"
#include "host/qmxhost/console_sink.h"
#include "host/qmxhost/exit_status.h"
#include "host/qmxhost/history_db.h"
#include "host/qmxhost/history_export.h"
#include "host/qmxhost/history_sink.h"
#include "host/qmxhost/json_sink.h"
#include "host/qmxhost/libmodbus_rtu_context.h"
#include "host/qmxhost/libmodbus_tcp_context.h"
#include "host/qmxhost/plugin_library.h"
#include "host/qmxhost/sim_process.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void request_stop(int) {
    g_stop = 1;
    LibmodbusContext::InterruptFromSignal();
}

// Without SA_RESTART, so that a sleep or a write the signal lands in ends.
void on_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

// "ADDR=V[,V...]" as the address followed by the values.
std::vector<std::uint16_t> parse_write(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) throw CLI::ValidationError("--write", "expected ADDR=V[,V...]");
    std::vector<std::uint16_t> words;
    auto number = [&](const std::string& item) {
        try {
            words.push_back(static_cast<std::uint16_t>(parse_whole(item, 0, 0xFFFF)));
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError("--write", e.what());
        }
    };
    number(text.substr(0, equals));
    std::stringstream values(text.substr(equals + 1));
    for (std::string item; std::getline(values, item, ',');) number(item);
    if (text.back() == ',') number("");
    if (words.size() < 2 || words.size() > 1 + MODBUS_MAX_WRITE_REGISTERS) {
        throw CLI::ValidationError("--write",
                                   "1 to " + std::to_string(MODBUS_MAX_WRITE_REGISTERS) + " values after the address");
    }
    // The registers written are address, address + 1, ...: all must exist.
    if (const std::string problem = write_span_problem(words); !problem.empty()) {
        throw CLI::ValidationError("--write", problem);
    }
    return words;
}

// The bench's own binaries sit side by side.
std::string sibling(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

struct LineOverrides {
    std::optional<std::string> port, tcp;
    std::optional<int> baud, data_bits, stop_bits, response_timeout_ms, byte_timeout_ms, retries, rts_delay_us,
        delay_ms, slave;
    std::optional<char> parity;
    std::optional<std::string> rts;
    bool rs485 = false;

    void ApplyTo(HostConfig& config) const {
        LineSettings& line = config.line;
        // The command line's transport replaces the configuration's.
        if (port) {
            line.port = *port;
            line.tcp.clear();
        }
        if (tcp) {
            line.tcp = *tcp;
            line.port.clear();
        }
        if (baud) line.baud = *baud;
        if (parity) line.parity = *parity;
        if (data_bits) line.data_bits = *data_bits;
        if (stop_bits) line.stop_bits = *stop_bits;
        if (response_timeout_ms) line.response_timeout_ms = *response_timeout_ms;
        if (byte_timeout_ms) line.byte_timeout_ms = *byte_timeout_ms;
        if (retries) line.retries = *retries;
        if (rts) line.rts = *rts;
        if (rts_delay_us) line.rts_delay_us = *rts_delay_us;
        if (delay_ms) line.delay_ms = *delay_ms;
        if (rs485) line.rs485 = true;
        if (slave) {
            config.devices.front().slave = *slave;
            config.devices.front().setting["modbus"]["slave"] = *slave;
        }
    }
};

std::string line_text(const LineSettings& line) {
    if (line.IsTcp()) return "Modbus TCP";
    return std::to_string(line.baud) + " baud " + std::to_string(line.data_bits) + line.parity +
           std::to_string(line.stop_bits);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Bench host: runs a controller device plug-in against a Modbus RTU line or Modbus TCP"};
    app.set_version_flag("--version", std::string("qmxhost ") + QV5810_VERSION);
    std::string plugin = QV5810_DEFAULT_PLUGIN;
    std::string config_path = QV5810_DEFAULT_CONFIG;
    LineOverrides line;
    std::string history_path, write_text;
    std::vector<std::string> sim_args;
    bool json = false, emulate_line = false, quiet = false, verbose = false, snapshot = false, allow_writes = false;
    std::string http_text, mqtt_url, mqtt_login;
    MqttSettings mqtt;
    HostOptions options;
    app.add_option("--plugin", plugin, "device plug-in to load")->capture_default_str();
    app.add_option("--config", config_path, "JSON configuration: line and meters")->capture_default_str();
    std::vector<CLI::Option*> serial_only;
    serial_only.push_back(app.add_option("--port", line.port,
                                         "serial device (a pseudo-terminal too); default: start the simulated meter"));
    auto* tcp_option = app.add_option(
        "--tcp", line.tcp, "HOST:PORT of a Modbus TCP server or gateway, instead of --port; sim: the simulated meter");
    serial_only.push_back(
        add_whole_option(app, "--baud", line.baud, 1, 4000000, "line speed: " + line_speed_list() + " (default 9600)"));
    serial_only.push_back(
        app.add_option("--parity", line.parity, "N, E or O (default N)")->check(CLI::IsMember({'N', 'E', 'O'})));
    serial_only.push_back(add_whole_option(app, "--data-bits", line.data_bits, 7, 8, "7 or 8 (default 8)"));
    serial_only.push_back(add_whole_option(app, "--stop-bits", line.stop_bits, 1, 2, "1 or 2 (default 1)"));
    add_whole_option(app, "--slave", line.slave, 1, 247, "slave address of the first meter");
    add_whole_option(app, "--timeout-ms,--response-timeout-ms", line.response_timeout_ms, 1, 60000,
                     "wait for the first byte of an answer (default 1000)");
    add_whole_option(app, "--byte-timeout-ms", line.byte_timeout_ms, 0, 60000,
                     "longest silence inside an answer; 0: none (default 500)");
    add_whole_option(app, "--retries", line.retries, 0, 10, "further attempts after a failed request (default 2)");
    serial_only.push_back(app.add_flag("--rs485", line.rs485, "put the port in the kernel's RS-485 mode"));
    serial_only.push_back(
        app.add_option("--rts", line.rts, "none, up or down: RTS level libmodbus sets while sending (default none)")
            ->check(CLI::IsMember({"none", "up", "down"})));
    serial_only.push_back(add_whole_option(app, "--rts-delay-us", line.rts_delay_us, 0, 1000000,
                                           "RTS settling time before and after sending (default: one character)"));
    add_whole_option(app, "--delay-ms", line.delay_ms, 0, 10000, "silence kept before each request (default 0)");
    add_real_option(app, "--interval", options.interval_seconds, 0.0, 3600.0,
                    "seconds from the start of one poll cycle to the next (default 1)");
    add_whole_option(app, "--cycles", options.cycles, 0, 100000000, "poll cycles to run; 0: until interrupted");
    app.add_option("--history", history_path, "SQLite file for the device history; reloaded on start");
    app.add_flag("--snapshot", snapshot, "show the JSON snapshot text after every cycle");
    app.add_option("--write", write_text, "after the first cycle write ADDR=V (one register) or ADDR=V,V,...");
    app.add_flag("--json", json, "one JSON object per line for every host event, nothing else on stdout");
    auto* quiet_flag = app.add_flag("--quiet,-q", quiet, "only troubles, write status and the summary");
    app.add_flag("--verbose,-v", verbose, "also every retry and the plug-in's own lines (on standard error)")
        ->excludes(quiet_flag);
    app.add_option("--http", http_text,
                   "serve the live page and the HTTP API on [ADDR:]PORT (default address 127.0.0.1; port 0: any)");
    app.add_flag("--allow-writes", allow_writes,
                 "let the HTTP API (POST /api/devices/ID/registers) and MQTT (set/registers) write registers");
    app.add_option("--mqtt", mqtt_url, "publish to the broker at mqtt://HOST[:PORT] (mqtts:// for TLS)");
    app.add_option("--mqtt-client-id", mqtt.client_id, "MQTT client id; each meter adds -DATA_ID (default qmxhost-HOSTNAME-PID)");
    app.add_option("--mqtt-login", mqtt_login,
                   "file with the MQTT user name and password on two lines (default: QV5810_MQTT_USERNAME and "
                   "QV5810_MQTT_PASSWORD from the environment)");
    app.add_option("--mqtt-ca", mqtt.ca_file, "with mqtts://: the CA certificates (PEM) the broker's must chain to "
                                             "(default: the system's)")
        ->check(CLI::ExistingFile);
    app.add_option("--mqtt-prefix", mqtt.prefix, "topic prefix, ending in / (default qv5810/)");
    app.add_flag("--mqtt-discovery", mqtt.discovery, "publish Home Assistant discovery for the main quantities");
    add_whole_option(app, "--mqtt-queue", [&mqtt](long long most) { mqtt.most_queued = static_cast<std::size_t>(most); },
                     1, 1000000,
                     "messages kept while the broker is away, the oldest dropped first (default 1000)");
    serial_only.push_back(
        app.add_flag("--emulate-line", emulate_line, "simulated meter: pace bytes at the line speed"));
    // Settings of a serial line are refused beside --tcp rather than ignored.
    for (CLI::Option* option : serial_only) tcp_option->excludes(option);
    app.add_option("--sim-arg", sim_args, "extra option for the simulated meter (repeatable)")->allow_extra_args(false);

    std::string export_path;
    bool csv = false;
    CLI::App* history_command = app.add_subcommand("history", "export a history file's decoded readings");
    history_command->add_option("file", export_path, "history file written with --history")->required();
    history_command->add_flag("--csv", csv, "as CSV (the only format)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? exit_status::kSuccess : exit_status::kUsage;
    }

    if (history_command->parsed()) {
        try {
            export_history_csv(export_path, std::cout);
            return exit_status::kSuccess;
        } catch (const std::exception& e) {
            std::cerr << "qmxhost: " << e.what() << std::endl;
            return exit_status::kUsage;
        }
    }

    // Our own output keeps standard output; the plug-in's diagnostic lines
    // (written to std::cout) go to standard error with --verbose, else nowhere.
    std::fflush(stdout);
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    const int plugin_lines = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (out == nullptr || plugin_lines < 0) {
        std::cerr << "qmxhost: cannot set up the output" << std::endl;
        return exit_status::kUsage;
    }
    dup2(plugin_lines, STDOUT_FILENO);
    close(plugin_lines);
    on_stop_signals();

    try {
        if (!write_text.empty()) options.write = parse_write(write_text);
        // An empty value would otherwise read as the option not given.
        for (const char* name : {"--http", "--mqtt", "--tcp"}) {
            if (app.count(name) > 0 && app[name]->as<std::string>().empty()) {
                throw std::runtime_error(std::string(name) + ": an empty value");
            }
        }
        if (mqtt_url.empty()) {
            for (const char* name : {"--mqtt-client-id", "--mqtt-login", "--mqtt-ca", "--mqtt-prefix", "--mqtt-discovery",
                                     "--mqtt-queue"}) {
                if (app.count(name) > 0) throw std::runtime_error(std::string(name) + " without --mqtt does nothing");
            }
        }
        std::optional<HttpBind> http_bind;
        if (!http_text.empty()) {
            try {
                http_bind = parse_http_bind(http_text);
            } catch (const std::invalid_argument& e) {
                throw std::runtime_error(std::string("--http: ") + e.what());
            }
        }
        if (allow_writes && !http_bind && mqtt_url.empty()) {
            throw std::runtime_error("--allow-writes: writes come through --http or --mqtt; give one too");
        }
        if (!mqtt_url.empty()) {
            try {
                parse_mqtt_url(mqtt_url, mqtt);
            } catch (const std::invalid_argument& e) {
                throw std::runtime_error(std::string("--mqtt: ") + e.what());
            }
            if (const std::string problem = mqtt_prefix_problem(mqtt.prefix); !problem.empty()) {
                throw std::runtime_error("--mqtt-prefix: " + problem);
            }
            read_mqtt_login(mqtt_login, mqtt);
            if (mqtt.client_id.empty()) {
                char name[256] = "";
                gethostname(name, sizeof name - 1);
                mqtt.client_id = std::string("qmxhost-") + name + "-" + std::to_string(getpid());
            }
        }
        HostConfig config = load_host_config(config_path);
        line.ApplyTo(config);
        if (const std::string problem = line_settings_problem(config.line); !problem.empty()) {
            throw std::runtime_error(problem);
        }
        if (const std::string problem = duplicate_device_problem(config.devices); !problem.empty()) {
            throw std::runtime_error(problem);
        }

        std::optional<SimProcess> sim;
        const bool sim_over_tcp = config.line.tcp == kTcpSimulator;
        if (sim_over_tcp && emulate_line) throw std::runtime_error("--emulate-line paces a serial line, not Modbus TCP");
        if ((config.line.port.empty() && !config.line.IsTcp()) || sim_over_tcp) {
            std::vector<std::string> args;
            if (sim_over_tcp) {
                args = {"--tcp", "0"};  // a free port
            } else {
                args = {"--baud", std::to_string(config.line.baud), "--parity", std::string(1, config.line.parity),
                        "--data-bits", std::to_string(config.line.data_bits), "--stop-bits",
                        std::to_string(config.line.stop_bits)};
            }
            for (const DeviceConfig& device : config.devices) {
                args.insert(args.end(), {"--slave", std::to_string(device.slave)});
            }
            if (emulate_line) args.emplace_back("--byte-timing");
            args.insert(args.end(), sim_args.begin(), sim_args.end());
            sim.emplace(sibling("qv5810-sim"), args,
                        sim_over_tcp ? SimProcess::Answers::over_tcp : SimProcess::Answers::on_terminal);
            // It listens on every local address, loopback among them.
            if (sim_over_tcp) {
                config.line.tcp = "127.0.0.1:" + sim->port();
            } else {
                config.line.port = sim->port();
            }
        }

        std::optional<HistoryDb> history;
        if (!history_path.empty()) history.emplace(history_path);

        const Verbosity verbosity = quiet ? Verbosity::quiet : verbose ? Verbosity::verbose : Verbosity::normal;
        ConsoleSink console(out, verbosity, snapshot);
        JsonSink json_sink(out);
        ReportSink& people_or_programs = json ? static_cast<ReportSink&>(json_sink) : console;
        ReportFanout report;
        report.Add(people_or_programs);
        std::optional<HistorySink> history_sink;
        if (history) report.Add(history_sink.emplace(*history, people_or_programs));

        SteadyClock clock;
        EventHub events;
        LiveState live(config, clock, events);
        WriteInbox inbox;
        std::optional<HttpApi> api;
        std::optional<HttpServer> http;
        if (http_bind || !mqtt_url.empty()) {
            report.Add(live);
            options.inbox = &inbox;
        }
        std::optional<MqttSink> mqtt_sink;
        if (!mqtt_url.empty()) {
            report.Add(mqtt_sink.emplace(mqtt, live, allow_writes ? &inbox : nullptr, people_or_programs));
        }
        if (http_bind) {
            api.emplace(live, inbox, ApiOptions{allow_writes, history_path});
            http.emplace(*api, events, *http_bind);
            std::cerr << "qmxhost: live view at " << http->url() << std::endl;
            if (!is_loopback(http_bind->host)) {
                std::cerr << "qmxhost: warning: the live view listens on " << http_bind->host
                          << ", reachable from other machines" << (allow_writes ? ", and it writes registers" : "")
                          << "; it has no login" << std::endl;
            }
        }

        Json::Value facts;
        facts["version"] = QV5810_VERSION;
        facts["plugin"] = plugin;
        if (config.line.IsTcp()) {
            facts["tcp"] = config.line.tcp;
        } else {
            facts["port"] = config.line.port;
        }
        facts["line"] = line_text(config.line);
        facts["meters"] = static_cast<int>(config.devices.size());
        if (sim) facts["simulator_pid"] = static_cast<int>(sim->pid());
        if (http) facts["http"] = http->url();
        if (mqtt_sink) facts["mqtt"] = mqtt_url;
        report.Started(facts);

        const PluginLibrary library(plugin);
        std::vector<std::unique_ptr<SPModbus>> devices;
        for (std::size_t i = 0; i < config.devices.size(); ++i) devices.push_back(library.CreateDevice());
        std::unique_ptr<ModbusContext> context;
        if (config.line.IsTcp()) {
            context = std::make_unique<LibmodbusTcpContext>(config.line);
        } else {
            context = std::make_unique<LibmodbusRtuContext>(config.line);
        }
        ModbusLine modbus(*context, RetryPolicy{config.line.retries, config.line.delay_ms, config.line.response_timeout_ms}, clock, g_stop);
        BenchHost host(config, options, std::move(devices), modbus, report, clock);
        if (history) host.ReloadFrom(*history);
        int status = host.Run(g_stop);
        // A write asked for now would never be carried out: say so at once.
        inbox.Close();
        if (http) http->Stop();
        if (history && !history->StoreHeld()) {
            people_or_programs.Problem("history still locked by another process: " +
                                       std::to_string(history->held()) + " record(s) not stored");
            // A lost record must not pass for a clean run; the other troubles say more.
            if (status == exit_status::kSuccess) status = exit_status::kHistoryIncomplete;
        }
        std::fclose(out);
        return status;
    } catch (const std::exception& e) {
        std::cerr << "qmxhost: " << e.what() << std::endl;
        return exit_status::kUsage;
    }
}
