// The bench host's HTTP API and page, as a function from a parsed request
// to a response, apart from any server: what the HTTP library hands over is
// answered here, so that tests and the fuzzer reach every route directly.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/live/live_state.h"
#include "host/core/write_inbox.h"

struct ApiRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // decoded, without the query
    std::multimap<std::string, std::string> params;  // the query's, decoded
    std::string content_type;
    std::string body;
};

struct ApiResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::string allow;     // the methods a 405 names
    std::string filename;  // a download's name; empty: shown, not downloaded
};

struct ApiOptions {
    bool allow_writes = false;
    std::string history_path;  // empty: no history
    // How long a write may wait for the poll loop and the meter's answer.
    std::chrono::milliseconds write_timeout{10000};
};

class HttpApi {
public:
    HttpApi(LiveState& live, WriteInbox& inbox, ApiOptions options);

    ApiResponse Handle(const ApiRequest& request);

    static constexpr int kMostHistoryRows = 5000;
    static constexpr int kMostExportRows = 100000;  // about 60 MB of raw rows as CSV

private:
    ApiResponse Devices();
    ApiResponse Device(std::uint32_t id);
    ApiResponse History(std::uint32_t id, const ApiRequest& request, bool csv);
    ApiResponse Write(std::uint32_t id, const ApiRequest& request);
    // A meter's view without its freshness, rendered again only after the
    // meter changed; shared, so that a request holds the lock only to take it.
    std::shared_ptr<const std::string> DetailText(std::uint32_t id, std::uint64_t version);

    LiveState& live_;
    WriteInbox& inbox_;
    const ApiOptions options_;
    struct Rendered {
        std::uint64_t version = 0;
        std::shared_ptr<const std::string> text;  // compact JSON object
    };
    std::mutex render_mutex_;  // guards rendered_
    std::map<std::uint32_t, Rendered> rendered_;
};

// {"error": text} with the status.
ApiResponse api_error(int status, const std::string& text);
