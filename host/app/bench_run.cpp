#include "host/app/bench_run.h"

#include <unistd.h>

#include <exception>
#include <map>
#include <memory>
#include <thread>
#include <optional>
#include <stdexcept>

#include "host/app/line_open.h"
#include "host/common/host_address.h"
#include "host/config/endpoints.h"
#include "host/config/site_id.h"
#include "host/core/exit_status.h"
#include "host/forward/forwarder.h"
#include "host/core/poll_loop.h"
#include "host/history/history_db.h"
#include "host/http/http_server.h"
#include "host/line/pseudo_terminal.h"
#include "host/live/http_api.h"
#include "host/live/live_state.h"
#include "host/modbus_server/modbus_server.h"
#include "host/mqtt/mqtt_sink.h"
#include "host/notify/notify_sink.h"
#include "host/report/outlets.h"
#include "host/runtime/plugin_library.h"
#include "host/sinks/console_sink.h"
#include "host/sinks/history_sink.h"
#include "host/sinks/json_sink.h"
#include "host/sinks/line_writer.h"

namespace {

// The page as Home Assistant on another machine reaches it: a page on
// every address is named by this machine's name, not by loopback.
std::string page_url_for_others(const HttpServer& http, const ListenAddress& listen) {
    const std::string& host = listen.host;
    std::string url = http.url();
    if (host != "0.0.0.0" && host != "::") return url;
    const std::string loopback = "127.0.0.1";
    return url.replace(url.find(loopback), loopback.size(), host_name());
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

// However the run ends, the outlets' threads end before the outlets go.
struct CloseOutlets {
    Outlets& outlets;
    ~CloseOutlets() { outlets.Close(); }
};

// However polling ends, its watcher hears it.
struct PollingWatched {
    RunWatcher* watcher;
    ~PollingWatched() {
        if (watcher != nullptr) watcher->PollingEnded();
    }
};

// One line of a run: its simulator when it has none of its own, its
// connection, and the loop that polls its meters on a thread of its own.
struct LineRun {
    std::optional<SimProcess> sim;
    std::unique_ptr<ModbusContext> context;
    std::unique_ptr<ModbusLine> modbus;
    std::unique_ptr<PollLoop> loop;
    int status = exit_status::kSuccess;
    std::exception_ptr failure;
    std::string name;  // as the outlets name it
};

Json::Value line_facts(const LineConfig& config, const LineRun& run) {
    Json::Value facts;
    facts["name"] = run.name;
    if (config.line.IsTcp()) {
        facts["tcp"] = config.line.Name();
    } else {
        facts["port"] = config.line.port;
    }
    facts["line"] = config.line.Text();
    // Its readings are made up, and stored as any others: said at every start.
    facts["simulated"] = run.sim.has_value();
    facts["meters"] = static_cast<int>(config.devices.size());
    for (const DeviceConfig& device : config.devices) facts["meter_names"].append(device.name);
    if (run.sim) facts["simulator_pid"] = static_cast<int>(run.sim->pid());
    return facts;
}

// The first line's facts stand at the top, as a run of one line has them.
Json::Value start_facts(const HostSettings& settings, const RunEnvironment& environment,
                        const std::vector<LineRun>& runs) {
    Json::Value facts = line_facts(settings.lines.front(), runs.front());
    facts["version"] = environment.version;
    facts["plugin"] = settings.plugin;
    facts["config"] = environment.config.empty() ? Json::Value() : Json::Value(environment.config);
    facts["history"] = settings.history.file.empty() ? Json::Value() : Json::Value(settings.history.file);
    for (const NotifyTarget& hook : settings.notify.targets) facts["notify"].append(hook.url.Shown());
    int meters = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        facts["lines"].append(line_facts(settings.lines[i], runs[i]));
        meters += static_cast<int>(settings.lines[i].devices.size());
    }
    facts["meters"] = meters;
    return facts;
}

// The site as the outlets name it: each line with its meters, which the
// settings hold for the whole run.
std::vector<LineInfo> site_of(const HostSettings& settings, const std::vector<LineRun>& runs) {
    std::vector<LineInfo> site;
    for (std::size_t i = 0; i < settings.lines.size(); ++i) site.push_back(describe_line(i, runs[i].name, settings.lines[i]));
    return site;
}

// Each line on its own thread, the first on the caller's. An exception
// that ends a line's polling is told at once, while the other lines go on,
// and thrown when all have ended.
void poll_every_line(std::vector<LineRun>& runs, Outlet& outlets, const StopSignal& stop) {
    const auto poll = [&stop, &outlets](LineRun& run) {
        try {
            run.status = run.loop->Run(stop);
        } catch (const std::exception& e) {
            run.failure = std::current_exception();
            outlets.Problem(run.name + ": polling stopped: " + e.what() + "; the other lines go on");
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < runs.size(); ++i) threads.emplace_back(poll, std::ref(runs[i]));
    poll(runs.front());
    for (std::thread& thread : threads) thread.join();
    for (const LineRun& run : runs) {
        if (run.failure) std::rethrow_exception(run.failure);
    }
}

}  // namespace

int run_bench_host(HostSettings settings, const RunEnvironment& environment, StopSignal& stop) {
    std::vector<LineRun> runs(settings.lines.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        LineConfig& config = settings.lines[i];
        // Named before the simulator gives it a terminal, which changes at every start.
        runs[i].name = line_name(config, i);
        start_simulator(config, settings, environment, runs[i].sim);
        for (DeviceConfig& device : config.devices) device.line = runs[i].name;
    }
    const std::vector<LineInfo> site = site_of(settings, runs);
    const std::string machine = machine_id(environment.machine_id_file);
    const std::string site_id = run_site(settings, machine);
    std::optional<HistoryDb> history;
    // The newest stored record of each meter, taken before the history is
    // the outlet's, on the outlet's thread alone.
    std::map<std::uint32_t, std::vector<unsigned char>> newest;
    if (!settings.history.file.empty()) {
        const HistorySettings& h = settings.history;
        if (environment.watcher != nullptr) environment.watcher->Preparing("opening the history " + h.file);
        history.emplace(h.file, HistoryWindows{h.raw_days, h.minute_days, h.hour_days});
        for (const LineInfo& line : site) {
            for (const DeviceConfig* device : line.meters) {
                history->NameMeter(device->data_id, device->name);
                if (auto stored = history->Newest(device->data_id)) newest[device->data_id] = std::move(stored->record);
            }
        }
    }

    // Each outlet on a thread of its own (or sharing one), behind a mailbox:
    // no line ever waits for one.
    HistoryHealth history_health;  // told by the history's outlet, read by /healthz: outlives both
    Outlets outlets;
    std::ostream& notes = *environment.notes;
    LineWriter output(
        fileno(environment.out), [&notes](const std::string& text) { notes << "qmxhost: " << text << std::endl; },
        [&stop] { stop.Request(); });
    ConsoleSink console(output, settings.output.verbosity, settings.output.snapshot);
    JsonSink json(output);
    // The run's own output first: it hears what the others say from their
    // start (a broker's link speaks as soon as it is made) to their last word.
    outlets.Add(settings.output.json ? "json" : "console", {settings.output.json ? static_cast<Outlet*>(&json) : &console},
                Mailbox{4096, WhenFull::refuse_newest});
    const CloseOutlets close_output{outlets};
    std::optional<HistorySink> history_sink;

    SteadyClock clock;
    WriteInbox inbox;
    const bool takes_writes = settings.http || settings.mqtt.broker || settings.modbus_server;
    EventHub events;
    // Read by the page and /metrics, written by the forwarder: made before both.
    std::optional<ForwardStatus> forward_status;
    if (!settings.history.forward.empty()) forward_status.emplace(central_uri_text(settings.history.forward));
    std::optional<Access> access;
    std::optional<LiveState> live;
    std::optional<HttpApi> api;
    std::optional<HttpServer> http;
    Json::Value facts = start_facts(settings, environment, runs);
    // Named where a box is moved or restored: Home Assistant's ids and the
    // central history's rows carry it.
    facts["site"] = site_id;
    if (settings.http) {
        const ListenAddress& listen = *settings.http;
        // Lock-out notices come from the HTTP workers, as the output's own troubles from its thread.
        access.emplace(settings.http_users, [&notes](const std::string& line) { notes << line << std::endl; });
        // A file of comments only would leave the writes open to anyone.
        if (!settings.http_users.empty() && !access->has_credentials()) {
            throw std::runtime_error(settings.http_users + " holds no login: add one with qmxhost passwd NAME >> " +
                                     settings.http_users);
        }
        live.emplace(site, clock, events);
        ApiOptions options;
        options.allow_writes = settings.allow_writes;
        options.history_path = settings.history.file;
        options.hosts = host_names_for(listen, settings.http_hosts);
        options.reads_need_login = settings.http_reads_need_login;
        options.writes_need_login = !settings.http_users.empty();
        options.metrics = settings.http_metrics;
        options.version = environment.version;
        options.forward = forward_status ? &*forward_status : nullptr;
        options.history = settings.history.file.empty() ? nullptr : &history_health;
        options.interval_seconds = settings.interval_seconds;
        options.zone = SiteZone::OrSystem(settings.site_timezone);
        api.emplace(*live, inbox, options, *access);
        std::optional<TlsFiles> tls;
        if (!settings.http_tls_certificate.empty()) tls = TlsFiles{settings.http_tls_certificate, settings.http_tls_key};
        http.emplace(*api, events, listen, tls);
        facts["http"] = http->url();
        *environment.notes << "qmxhost: live view at " << http->url() << std::endl;
        if (!is_loopback(listen.host)) warn_about_the_network(listen, settings, *environment.notes);
    }
    // After the page, whose address Home Assistant links each meter to.
    std::optional<MqttSink> mqtt;
    if (settings.mqtt.broker) {
        MqttSettings broker = mqtt_settings_from(settings.mqtt, site_id);
        broker.identity.version = environment.version;
        // A page on loopback is no page another machine's browser can open.
        if (http && !is_loopback(settings.http->host)) {
            broker.identity.configuration_url = page_url_for_others(*http, *settings.http);
        }
        mqtt.emplace(broker, site, settings.allow_writes ? &inbox : nullptr, mosquitto_links(), outlets);
        facts["mqtt"] = settings.mqtt.broker->Url();
    }
    std::optional<ServedMeters> served;
    std::optional<ModbusServer> modbus_server;
    if (settings.modbus_server) {
        const ListenAddress& listen = *settings.modbus_server;
        served.emplace(site, clock);
        modbus_server.emplace(*served, listen, settings.allow_writes ? &inbox : nullptr);
        const std::string where = ListenAddress{listen.host, modbus_server->port()}.Text();
        facts["modbus_server"] = where;
        *environment.notes << "qmxhost: Modbus server at " << where << std::endl;
        if (!is_loopback(listen.host)) warn_about_modbus_on_the_network(listen, *environment.notes);
    }
    // However the run ends, a write asked for from now on is answered at
    // once, not after its timeout, and before the server waits for its threads.
    const CloseWhenDone close_inbox{inbox};
    if (history) {
        history_sink.emplace(*history, settings.history.batch_seconds, settings.interval_seconds, outlets, &history_health);
        // The history holds what it cannot store yet; its mailbox as much again.
        outlets.Add("history", {&*history_sink}, Mailbox{HistoryDb::kMostPending, WhenFull::drop_oldest});
    }
    std::vector<Outlet*> states;
    if (live) states.push_back(&*live);
    if (served) states.push_back(&*served);
    if (!states.empty()) outlets.Add("state", states, Mailbox{1024, WhenFull::drop_oldest});
    if (mqtt) outlets.Add("mqtt", {&*mqtt}, Mailbox{1024, WhenFull::drop_oldest});
    // The hooks hold their own queues: the mailbox only has to keep up
    // with rendering, and an alarm is never the event it lets go.
    std::optional<NotifySink> notify;
    if (!settings.notify.targets.empty()) {
        notify.emplace(settings.notify, outlets);
        outlets.Add("notify", {&*notify}, Mailbox{4096, WhenFull::refuse_newest});
    }
    const CloseOutlets close_outlets{outlets};
    if (forward_status) facts["history_forward"] = forward_status->Figures().target;
    outlets.Started(facts);
    // After the start event, which is the run's first: the link's notices follow it.
    if (mqtt) mqtt->Start();
    if (history && !history->open()) {
        outlets.Fault("history cannot be written now (" + history->last_error() +
                          "): records are held and it is tried again; polling goes on",
                      false);
    }
    // Not an outlet: it reads the file the history outlet writes, on a
    // thread of its own, and says what it meets as the outlets do.
    std::optional<Forwarder> forwarder;
    if (forward_status) {
        forwarder.emplace(ForwardSettings{settings.history.forward, settings.history.file, site_id, machine, host_name(),
                                          environment.version, local_time_zone(), settings.history.batch_seconds},
                          *forward_status, outlets);
    }

    const PluginLibrary library(settings.plugin);
    std::vector<Heartbeat> heartbeats(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const LineConfig& config = settings.lines[i];
        const LineSettings& line = config.line;
        LineRun& run = runs[i];
        std::vector<std::unique_ptr<SPModbus>> devices;
        for (std::size_t d = 0; d < config.devices.size(); ++d) devices.push_back(library.CreateDevice());
        run.context = open_line(line, stop);
        run.modbus = std::make_unique<ModbusLine>(*run.context, RetryPolicy{line.retries, line.delay_ms, line.response_timeout_ms, line.response_timeout_ms},
                                                  clock, stop);
        // The write asked for on the command line goes to the first line's first meter.
        run.loop = std::make_unique<PollLoop>(
            config.devices, site[i],
            PollOptions{settings.cycles, settings.interval_seconds, i == 0 ? settings.write : std::vector<std::uint16_t>{},
                        takes_writes ? &inbox : nullptr, config.emulate_line || !is_pseudo_terminal(line.port),
                        environment.watcher != nullptr ? &heartbeats[i] : nullptr},
            std::move(devices), *run.modbus, outlets, clock);
        if (history) {
            run.loop->Reload([&newest](std::uint32_t data_id) -> std::optional<std::vector<unsigned char>> {
                const auto stored = newest.find(data_id);
                if (stored == newest.end()) return std::nullopt;
                return stored->second;
            });
        }
    }
    {
        const PollingWatched watched{environment.watcher};
        if (environment.watcher != nullptr) {
            std::vector<const Heartbeat*> lines;
            for (const Heartbeat& heartbeat : heartbeats) lines.push_back(&heartbeat);
            environment.watcher->Polling(lines, facts["meters"].asInt(), clock);
        }
        poll_every_line(runs, outlets, stop);
    }
    inbox.Close();
    if (http) http->Stop();
    if (modbus_server) modbus_server->Stop();
    outlets.Finished();
    // The history outlet stores its last records before the forwarder's last round.
    outlets.Close();
    if (forwarder) forwarder->Finish();
    // The first line that did not end well says how the run ended.
    int status = exit_status::kSuccess;
    for (const LineRun& run : runs) status = status == exit_status::kSuccess ? run.status : status;
    // A lost record must not pass for a clean run; the other troubles say more.
    if (history_sink && !history_sink->complete() && status == exit_status::kSuccess) {
        status = exit_status::kHistoryIncomplete;
    }
    return status;
}
