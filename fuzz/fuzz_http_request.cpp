// The live view's request handling: any method, path, query, content type
// and body must get a well-formed answer: JSON that parses, an asset, or the
// event stream for its one path, and never a crash.
//
// Input: a method byte, then path, query ("k=v&k=v", as the server's
// library has decoded it), content type and body, separated by newlines.
#include <json/reader.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "host/config/settings.h"
#include "host/live/http_api.h"
#include "host/history/history_db.h"
#include "host/report/report_json.h"

namespace {

HostSettings fuzz_config() {
    HostSettings config = default_settings();
    config.lines.front().devices.clear();
    DeviceConfig device;
    device.name = "panel <b>1</b>";
    device.data_id = 7;
    device.slave = 1;
    device.thresholds["110200010010"] = Threshold{1, 253};
    device.setting["appSetting"]["b_mode"] = "2";
    config.lines.front().devices.push_back(device);
    return config;
}

struct Live {
    Live() : site{describe_line(0, "fuzz line", config.lines.front())}, live(site, clock, events) {
        // One completed cycle, so the views have a record, a snapshot and alarms to show.
        unsigned char record[167];
        for (std::size_t i = 0; i < sizeof record; ++i) record[i] = static_cast<unsigned char>(i * 37);
        auto report = std::make_shared<CycleReport>();
        report->meter = &config.lines.front().devices.front();
        report->cycle = 1;
        report->duration_ms = 245.0;
        report->ended_at = clock.Now();
        report->record.assign(record, record + sizeof record);
        report->quantities = decode_quantities(report->record);
        AlarmOutcome outcome;
        outcome.key = "110200010010";
        outcome.text = "over";
        outcome.level = 1;
        outcome.up = true;
        outcome.value_text = "266";
        outcome.compared = 266;
        outcome.threshold = 253;
        report->alarms.push_back(outcome);
        report->alarm_changes.push_back(AlarmChange{outcome, true});
        report->snapshot_text = "{\"相电压1\":266}";
        report->snapshot = snapshot_object(report->snapshot_text);
        live.Cycle(report);
        history_path = "/tmp/qv5810_fuzz_history_" + std::to_string(getpid()) + ".db";
        {
            HistoryDb history(history_path);
            history.Add(history_row(utc_now_ms(), 7, 5156, std::vector<unsigned char>(record, record + sizeof record)));
            history.Commit();
        }
        // Closed: a write is answered at once (503) instead of waiting for a poll loop.
        inbox.Close();
        ApiOptions options;
        options.allow_writes = true;
        options.history_path = history_path;
        options.write_timeout = std::chrono::milliseconds(1);
        api = std::make_unique<HttpApi>(live, inbox, options, access);
    }
    ~Live() {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((history_path + suffix).c_str());
    }

    HostSettings config = fuzz_config();
    std::vector<LineInfo> site;
    SteadyClock clock;
    EventHub events;
    LiveState live;
    WriteInbox inbox;
    Access access;
    std::string history_path;
    std::unique_ptr<HttpApi> api;
};

std::string take_line(const std::string& text, std::size_t& at) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end < text.size() ? end + 1 : end;
    return line;
}

bool parses(const std::string& body) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    return reader->parse(body.data(), body.data() + body.size(), &value, &errors) && value.isObject();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Live live;
    if (size == 0) return 0;
    static const char* const kMethods[] = {"GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE"};
    ApiRequest request;
    request.method = kMethods[data[0] % 8];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t at = 0;
    request.path = take_line(text, at);
    const std::string query = take_line(text, at);
    for (std::size_t from = 0; from <= query.size() && !query.empty();) {
        const std::size_t amp = std::min(query.find('&', from), query.size());
        const std::string pair = query.substr(from, amp - from);
        const std::size_t equals = pair.find('=');
        request.params.emplace(pair.substr(0, equals), equals == std::string::npos ? "" : pair.substr(equals + 1));
        from = amp + 1;
    }
    request.content_type = take_line(text, at);
    request.host = "127.0.0.1";
    request.body = text.substr(at);

    ApiResponse response = live.api->Handle(request);
    // An answer made in pieces is checked whole, as its client takes it; a
    // piece may fail as the history may (the server then ends the answer).
    try {
        while (response.pieces && response.pieces(response.body)) {
        }
    } catch (const std::runtime_error&) {
        return 0;
    }
    if (response.event_stream) {
        if (request.path != "/api/events") std::abort();
    } else if (response.status < 200 || response.status > 599) {
        std::abort();
    } else if (response.content_type == "application/json" && !parses(response.body)) {
        std::abort();
    }
    if (response.status == 405 && response.allow.empty()) std::abort();
    return 0;
}
