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

#include "fuzz/fuzz_rig.h"
#include "host/live/http_api.h"
#include "host/qmxhost/history_db.h"

namespace {

HostConfig fuzz_config() {
    HostConfig config;
    DeviceConfig device;
    device.name = "panel <b>1</b>";
    device.data_id = 7;
    device.slave = 1;
    device.thresholds["110200010010"] = Threshold{1, 253};
    device.setting["appSetting"]["b_mode"] = "2";
    config.devices.push_back(device);
    return config;
}

struct Live {
    Live() : live(config, clock, events) {
        // One completed cycle, so the views have a record, a snapshot and alarms to show.
        const QMXVDevice& device = *rig.device;
        unsigned char record[167];
        for (std::size_t i = 0; i < sizeof record; ++i) record[i] = static_cast<unsigned char>(i * 37);
        live.PollStarted(device);
        live.Published(device, 5156, record, sizeof record, false);
        const std::string key = "110200010010", signal = "1", text = "over", value = "266";
        live.AlarmReported(device, AlarmCall{1, key, signal, text, value, true, 1});
        live.CycleDone(device, CycleFacts{1, 0, 245.0}, "{\"相电压1\":266}");
        history_path = "/tmp/qv5810_fuzz_history_" + std::to_string(getpid()) + ".db";
        {
            HistoryDb history(history_path);
            history.Store(7, RecordKind::poll, std::vector<unsigned char>(record, record + sizeof record));
        }
        // Closed: a write is answered at once (503) instead of waiting for a poll loop.
        inbox.Close();
        api = std::make_unique<HttpApi>(live, inbox, ApiOptions{true, history_path, std::chrono::milliseconds(1)});
    }
    ~Live() {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((history_path + suffix).c_str());
    }

    FuzzRig rig;  // a device whose data id is 7
    HostConfig config = fuzz_config();
    SteadyClock clock;
    EventHub events;
    LiveState live;
    WriteInbox inbox;
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
    request.body = text.substr(at);

    const ApiResponse response = live.api->Handle(request);
    if (response.status == 0) {
        if (request.path != "/api/events") std::abort();
    } else if (response.status < 200 || response.status > 599) {
        std::abort();
    } else if (response.content_type == "application/json" && !parses(response.body)) {
        std::abort();
    }
    if (response.status == 405 && response.allow.empty()) std::abort();
    return 0;
}
