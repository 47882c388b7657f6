#include "host/app/bench_run.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "host/core/endpoints.h"
#include "host/core/exit_status.h"
#include "host/core/outlets.h"
#include "host/core/plugin_library.h"
#include "host/core/poll_loop.h"
#include "host/history/history_db.h"
#include "host/line/libmodbus_rtu_context.h"
#include "host/line/libmodbus_tcp_context.h"
#include "host/line/pseudo_terminal.h"
#include "host/line/sim_process.h"
#include "host/live/http_server.h"
#include "host/live/live_state.h"
#include "host/modbus_server/modbus_server.h"
#include "host/mqtt/mqtt_sink.h"
#include "host/sinks/console_sink.h"
#include "host/sinks/history_sink.h"
#include "host/sinks/json_sink.h"

namespace {

// Started when the settings name no line, and told the line's settings and
// the meters' slave addresses; the line then points at it.
void start_simulator(HostSettings& settings, const RunEnvironment& environment, std::optional<SimProcess>& sim) {
    LineSettings& line = settings.line;
    const bool over_tcp = line.tcp == kTcpSimulator;
    if (!over_tcp && (line.IsTcp() || !line.port.empty())) return;
    std::vector<std::string> args;
    if (over_tcp) {
        args = {"--tcp", "0"};  // a free port
    } else {
        args = {"--baud", std::to_string(line.baud), "--parity", std::string(1, line.parity), "--data-bits",
                std::to_string(line.data_bits), "--stop-bits", std::to_string(line.stop_bits)};
        if (settings.emulate_line) args.emplace_back("--byte-timing");
    }
    for (const DeviceConfig& device : settings.devices) args.insert(args.end(), {"--slave", std::to_string(device.slave)});
    args.insert(args.end(), settings.sim_args.begin(), settings.sim_args.end());
    sim.emplace(environment.simulator, args, over_tcp ? SimProcess::Answers::over_tcp : SimProcess::Answers::on_terminal,
                environment.emulator);
    // It listens on every local address, loopback among them.
    if (over_tcp) {
        line.tcp = "127.0.0.1:" + sim->port();
    } else {
        line.port = sim->port();
    }
}

std::unique_ptr<ModbusContext> open_line(const LineSettings& line) {
    if (line.IsTcp()) return std::make_unique<LibmodbusTcpContext>(line);
    return std::make_unique<LibmodbusRtuContext>(line);
}

// What a page reachable from other machines leaves open, said at start.
void warn_about_the_network(const ListenAddress& listen, const HostSettings& settings, std::ostream& notes) {
    notes << "qmxhost: warning: the live view listens on " << listen.host << ", reachable from other machines";
    if (settings.http_tls_certificate.empty()) notes << "; it is plain HTTP: logins and readings cross the network unencrypted";
    if (!settings.http_reads_need_login) notes << "; anyone who reaches it reads the meters (http_login all asks for a login)";
    notes << std::endl;
}

// Modbus TCP has no login: whoever reaches the server reads every meter.
void warn_about_modbus_on_the_network(const ListenAddress& listen, std::ostream& notes) {
    notes << "qmxhost: warning: the Modbus server listens on " << listen.host
          << ", reachable from other machines; Modbus TCP has no login: anyone who reaches it reads the meters"
          << std::endl;
}

struct CloseWhenDone {
    WriteInbox& inbox;
    ~CloseWhenDone() { inbox.Close(); }
};

Json::Value start_facts(const HostSettings& settings, const RunEnvironment& environment, const SimProcess* sim) {
    Json::Value facts;
    facts["version"] = environment.version;
    facts["plugin"] = settings.plugin;
    if (settings.line.IsTcp()) {
        facts["tcp"] = settings.line.tcp;
    } else {
        facts["port"] = settings.line.port;
    }
    facts["line"] = settings.line.Text();
    facts["meters"] = static_cast<int>(settings.devices.size());
    if (sim != nullptr) facts["simulator_pid"] = static_cast<int>(sim->pid());
    return facts;
}

}  // namespace

int run_bench_host(HostSettings settings, const RunEnvironment& environment, const volatile std::sig_atomic_t& stop) {
    std::optional<SimProcess> sim;
    start_simulator(settings, environment, sim);
    std::optional<HistoryDb> history;
    if (!settings.history.file.empty()) {
        const HistorySettings& h = settings.history;
        history.emplace(h.file, HistoryWindows{h.raw_days, h.minute_days, h.hour_days});
        for (const DeviceConfig& device : settings.devices) history->NameMeter(device.data_id, device.name);
    }

    Outlets outlets;
    ConsoleSink console(environment.out, settings.output.verbosity, settings.output.snapshot);
    JsonSink json(environment.out);
    outlets.Add(settings.output.json ? static_cast<Outlet&>(json) : console);
    std::optional<HistorySink> history_sink;
    if (history) {
        outlets.Add(history_sink.emplace(*history, settings.history.batch_seconds, settings.interval_seconds));
    }

    SteadyClock clock;
    WriteInbox inbox;
    const bool takes_writes = !settings.http.empty() || !settings.mqtt.url.empty() || !settings.modbus_server.empty();
    std::optional<MqttSink> mqtt;
    if (!settings.mqtt.url.empty()) {
        outlets.Add(mqtt.emplace(mqtt_settings_from(settings.mqtt), settings.devices,
                                 settings.allow_writes ? &inbox : nullptr, mosquitto_links()));
    }
    EventHub events;
    std::optional<Access> access;
    std::optional<LiveState> live;
    std::optional<HttpApi> api;
    std::optional<HttpServer> http;
    Json::Value facts = start_facts(settings, environment, sim ? &*sim : nullptr);
    if (!settings.http.empty()) {
        const ListenAddress listen = parse_listen_address(settings.http);
        access.emplace(settings.http_users);
        // A file of comments only would leave the writes open to anyone.
        if (!settings.http_users.empty() && !access->has_credentials()) {
            throw std::runtime_error(settings.http_users + " holds no login: add one with qmxhost passwd NAME >> " +
                                     settings.http_users);
        }
        outlets.Add(live.emplace(settings.devices, settings.line, clock, events));
        ApiOptions options;
        options.allow_writes = settings.allow_writes;
        options.history_path = settings.history.file;
        options.hosts = host_names_for(listen, settings.http_hosts);
        options.reads_need_login = settings.http_reads_need_login;
        options.writes_need_login = !settings.http_users.empty();
        options.metrics = settings.http_metrics == "off"    ? ApiOptions::Metrics::off
                          : settings.http_metrics == "open" ? ApiOptions::Metrics::open
                                                            : ApiOptions::Metrics::on;
        options.line = settings.line.IsTcp() ? settings.line.tcp : settings.line.port;
        api.emplace(*live, inbox, options, *access);
        std::optional<TlsFiles> tls;
        if (!settings.http_tls_certificate.empty()) tls = TlsFiles{settings.http_tls_certificate, settings.http_tls_key};
        http.emplace(*api, events, listen, tls);
        facts["http"] = http->url();
        *environment.notes << "qmxhost: live view at " << http->url() << std::endl;
        if (!is_loopback(listen.host)) warn_about_the_network(listen, settings, *environment.notes);
    }
    if (mqtt) facts["mqtt"] = settings.mqtt.url;
    std::optional<ServedMeters> served;
    std::optional<ModbusServer> modbus_server;
    if (!settings.modbus_server.empty()) {
        const ListenAddress listen = parse_listen_address(settings.modbus_server);
        outlets.Add(served.emplace(settings.devices, clock));
        modbus_server.emplace(*served, listen, settings.allow_writes ? &inbox : nullptr);
        const bool ipv6 = listen.host.find(':') != std::string::npos;
        const std::string where = (ipv6 ? "[" + listen.host + "]" : listen.host) + ":" + std::to_string(modbus_server->port());
        facts["modbus_server"] = where;
        *environment.notes << "qmxhost: Modbus server at " << where << std::endl;
        if (!is_loopback(listen.host)) warn_about_modbus_on_the_network(listen, *environment.notes);
    }
    // However the run ends, a write asked for from now on is answered at
    // once, not after its timeout, and before the server waits for its threads.
    const CloseWhenDone close_inbox{inbox};
    outlets.Started(facts);
    if (history && !history->open()) {
        outlets.Problem("history cannot be written now (" + history->last_error() +
                        "): records are held and it is tried again; polling goes on");
    }

    const PluginLibrary library(settings.plugin);
    std::vector<std::unique_ptr<SPModbus>> devices;
    for (std::size_t i = 0; i < settings.devices.size(); ++i) devices.push_back(library.CreateDevice());
    const std::unique_ptr<ModbusContext> context = open_line(settings.line);
    const LineSettings& line = settings.line;
    ModbusLine modbus(*context, RetryPolicy{line.retries, line.delay_ms, line.response_timeout_ms}, clock, stop);
    PollLoop loop(settings.devices, line,
                  PollOptions{settings.cycles, settings.interval_seconds, settings.write, takes_writes ? &inbox : nullptr,
                              settings.emulate_line || !is_pseudo_terminal(line.port)},
                  std::move(devices), modbus, outlets, clock);
    if (history) {
        loop.Reload([&history](std::uint32_t data_id) -> std::optional<std::vector<unsigned char>> {
            if (auto newest = history->Newest(data_id)) return newest->record;
            return std::nullopt;
        });
    }
    int status = loop.Run(stop);
    inbox.Close();
    if (http) http->Stop();
    if (modbus_server) modbus_server->Stop();
    // A lost record must not pass for a clean run; the other troubles say more.
    if (history_sink && !history_sink->complete() && status == exit_status::kSuccess) {
        status = exit_status::kHistoryIncomplete;
    }
    return status;
}
