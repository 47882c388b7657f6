// A request as the server hands it to its handler, and the answer: the
// HTTP library's parsing stays in the server, so that the handler (the
// API's routes) is a function from one plain value to another, reached
// directly by tests and the fuzzer.
#pragma once

#include <map>
#include <functional>
#include <string>

struct ApiRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // decoded, without the query
    std::multimap<std::string, std::string> params;  // the query's, decoded
    std::string content_type;
    std::string body;
    std::string host;           // the Host header
    std::string origin;         // the Origin header; empty when none
    std::string cookie;         // the Cookie header
    std::string authorization;  // the Authorization header
    bool tls = false;           // came over HTTPS
    std::string remote;         // the client's address, IPv6 in brackets
};

struct ApiResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::string allow;     // the methods a 405 names
    std::string filename;  // a download's name; empty: shown, not downloaded
    std::string set_cookie;
    int retry_after_s = 0;  // a 429's Retry-After; 0: none
    // The server answers with the event stream instead of a body.
    bool event_stream = false;
    // Asked again at every chunk and heartbeat: false ends the stream (its
    // session ended). None: the stream needs no session.
    std::function<bool()> stream_allowed;
    // A session ended: every stream asks again whether it may go on.
    bool sessions_ended = false;
    // A body made as the client takes it, instead of `body`: each call
    // appends the next piece to `out` and says whether more follow. Called
    // one at a time among the heavy requests' workers, the next only once
    // the last piece went out; never for a HEAD. May throw: before the
    // first piece the answer becomes a 503, later the connection ends.
    std::function<bool(std::string& out)> pieces;

    static ApiResponse EventStream() {
        ApiResponse response;
        response.content_type = "text/event-stream";
        response.event_stream = true;
        return response;
    }
};

// {"error": text} with the status.
ApiResponse api_error(int status, const std::string& text);

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // On one of the server's workers; may take a while (a write waits for
    // the meter), never forever.
    virtual ApiResponse Handle(const ApiRequest& request) = 0;
    // Whether the request is heavy (reads much of the history): it waits
    // for its client's share of the few workers kept for such requests, so
    // that no number of them delays the light ones.
    virtual bool Heavy(const ApiRequest&) const { return false; }
};
