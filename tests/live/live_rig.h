// The bench host in-process against a real qv5810-sim: its poll loop on a
// thread of its own, the HTTP server on a free loopback port and a real HTTP
// client, as a browser or another tool would use them.
#pragma once

#include <httplib.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/config/settings_table.h"
#include "host/core/poll_loop.h"
#include "host/http/http_server.h"
#include "host/line/libmodbus_rtu_context.h"
#include "host/line/sim_process.h"
#include "host/live/http_api.h"
#include "host/live/live_state.h"
#include "host/report/outlets.h"
#include "host/sinks/history_sink.h"
#include "meter/qv5810.h"
#include "tests/support/json_text.h"
#include "tests/support/sim_meter.h"

struct LiveRigOptions {
    bool allow_writes = true;
    bool history = false;
    double interval_seconds = 0.05;
    std::vector<std::string> sim_args;
    bool poll_at_once = true;  // else at StartPolling
    std::string users_file;    // the credentials; writes then need a login
    bool reads_need_login = false;
    MetricsAccess metrics = MetricsAccess::on;
    std::optional<TlsFiles> tls;  // HTTPS; the rig's own client then cannot reach it
};

class LiveRig {
public:
    explicit LiveRig(LiveRigOptions options = {})
        : log_(temp_path("sim.log")),
          history_path_(options.history ? temp_path("history.db") : ""),
                    // Under the emulator when the tests run under one: an ARM program
          // cannot start another without binfmt_misc.
          sim_(QV5810_TEST_SIM, SimArgs(options), SimProcess::Answers::on_terminal, QV5810_TEST_EMULATOR),
          config_(Config(sim_.port())),
          site_(Site(config_)),
          context_(config_.lines.front().line, stop_),
          rtu_(context_, RetryPolicy{config_.lines.front().line.retries, 0, config_.lines.front().line.response_timeout_ms, config_.lines.front().line.response_timeout_ms}, clock_, stop_),
          live_(site_, clock_, events_),
          access_(options.users_file),
          api_(live_, inbox_, ApiOptionsOf(options, history_path_, access_), access_),
          server_(api_, events_, ListenAddress{"127.0.0.1", 0}, options.tls),
          client_("127.0.0.1", server_.port()) {
        outlets_.Add("state", {&live_}, Mailbox{});
        if (!history_path_.empty()) {
            history_.emplace(history_path_);
            history_sink_.emplace(*history_, 0.0, options.interval_seconds, outlets_);
            outlets_.Add("history", {&*history_sink_}, Mailbox{});
        }
        PollOptions poll_options;
        poll_options.interval_seconds = options.interval_seconds;
        poll_options.inbox = &inbox_;
        std::vector<std::unique_ptr<SPModbus>> devices;
        devices.push_back(std::make_unique<QV5810>());
        host_ = std::make_unique<PollLoop>(config_.lines.front().devices, site_.front(), poll_options, std::move(devices),
                                           rtu_, outlets_, clock_);
        client_.set_read_timeout(30, 0);
        if (options.poll_at_once) StartPolling();
    }

    void StartPolling() {
        poller_ = std::thread([this] { host_->Run(stop_); });
    }

    ~LiveRig() {
        stop_.Request();
        if (poller_.joinable()) poller_.join();
        inbox_.Close();
        server_.Stop();
        outlets_.Finished();
        outlets_.Close();
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((history_path_ + suffix).c_str());
        std::remove(log_.c_str());
    }

    struct Answer {
        int status = 0;
        Json::Value json;
        std::string body;
        httplib::Headers headers;
    };

    Answer Get(const std::string& path) { return Of(client_.Get(path.c_str())); }
    Answer Post(const std::string& path, const std::string& body, const std::string& type = "application/json") {
        return Of(client_.Post(path.c_str(), body, type.c_str()));
    }

    // The device's view once it has completed `cycles` cycles.
    Json::Value DeviceAfter(int cycles) {
        for (int tries = 0; tries < 1200; ++tries) {
            const Answer answer = Get("/api/devices/1");
            if (answer.json["health"]["completed"].asInt() >= cycles) return answer.json;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the device completed fewer than " << cycles << " cycles";
        return Json::Value();
    }

    const std::string& sim_log() const { return log_; }
    const std::string& history_path() const { return history_path_; }
    const HostSettings& config() const { return config_; }
    int port() const { return server_.port(); }
    EventHub& events() { return events_; }
    void StopServer() { server_.Stop(); }

private:
    static ApiOptions ApiOptionsOf(const LiveRigOptions& options, const std::string& history_path, const Access& access) {
        ApiOptions api;
        api.allow_writes = options.allow_writes;
        api.history_path = history_path;
        api.write_timeout = std::chrono::milliseconds(20000);
        api.reads_need_login = options.reads_need_login;
        api.writes_need_login = access.has_credentials();
        api.metrics = options.metrics;
        api.interval_seconds = options.interval_seconds;
        return api;
    }

    std::vector<std::string> SimArgs(const LiveRigOptions& options) const {
        std::vector<std::string> args{"--log", log_};
        args.insert(args.end(), options.sim_args.begin(), options.sim_args.end());
        return args;
    }

    static std::vector<LineInfo> Site(const HostSettings& config) { return {describe_line(0, "rig line", config.lines.front())}; }

    static HostSettings Config(const std::string& port) {
        HostSettings config = load_settings_file(QV5810_TEST_CONFIG);
        config.lines.front().line.port = port;
        config.lines.front().line.response_timeout_ms = 2000;
        for (DeviceConfig& device : config.lines.front().devices) device.line = "rig line";
        return config;
    }

    static Answer Of(const httplib::Result& result) {
        Answer answer;
        if (!result) {
            ADD_FAILURE() << "no HTTP answer: " << httplib::to_string(result.error());
            return answer;
        }
        answer.status = result->status;
        answer.body = result->body;
        answer.headers = result->headers;
        answer.json = parse_json(result->body).value_or(Json::Value());
        return answer;
    }

    std::string log_;
    std::string history_path_;
    SimProcess sim_;
    HostSettings config_;
    std::vector<LineInfo> site_;
    StopSignal stop_;
    LibmodbusRtuContext context_;
    SteadyClock clock_;
    ModbusLine rtu_;
    EventHub events_;
    LiveState live_;
    WriteInbox inbox_;
    Access access_;
    Outlets outlets_;
    std::optional<HistoryDb> history_;
    std::optional<HistorySink> history_sink_;
    HttpApi api_;
    HttpServer server_;
    httplib::Client client_;
    std::unique_ptr<PollLoop> host_;
    std::thread poller_;
};
