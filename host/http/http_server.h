// The HTTP side of the bench host: an event-driven server (Boost.Beast on
// Asio) that holds thousands of idle or slow connections on two threads,
// hands each request to its handler on a small pool of workers, and streams
// the events, each stream driven by Asio like any other connection. Every input is bounded: the head's size, the body's, the time a
// request may take to arrive, the connections in all and from one address.
// Nothing here runs on the poll loop, so no client delays a cycle.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "host/config/endpoints.h"
#include "host/http/event_hub.h"
#include "host/http/http_types.h"

struct TlsFiles {
    std::string certificate;  // PEM, the chain
    std::string key;          // PEM
};

// What one client (an address; an IPv6 /64) and all of them may hold at
// once, so that no client, however many connections it opens, keeps
// another out.
struct HttpLimits {
    // In all. When full, the connection idle longest (waiting for its next
    // request) is closed to let a new one in; with none idle, the new one is.
    int connections = 2000;
    // From one address; beyond, that address's own longest idle one makes room.
    int connections_per_address = 128;
    // A kept-alive connection ends, with the answer that reaches either,
    // after this many requests or this long: renewal holds no slot for ever.
    int requests_per_connection = 1000;
    std::chrono::seconds connection_lifetime{300};
    // Heavy requests (the history's rows, exports) under way at once, made
    // or being sent: from one address, and all told; each address's line
    // waits its turn, beyond it a 429.
    int heavy_per_address = 2;
    int heavy_waiting_per_address = 4;
    int heavy_in_all = 16;
};

// What the server holds now.
struct HttpLoad {
    int connections = 0;
    int idle = 0;  // of them, waiting for a request
    int heavy_running = 0;
    int heavy_waiting = 0;
};

class HttpServer {
public:
    static constexpr std::size_t kMostBody = 4096;       // larger bodies: 413
    static constexpr std::size_t kMostHead = 16 * 1024;  // request line and headers, all told: 431 beyond
    static constexpr int kSecondsForARequest = 10;  // from the connection or the last answer to the request's end

    // Binds at once; throws std::runtime_error when it cannot (or cannot
    // read the certificate and key).
    HttpServer(HttpHandler& handler, EventHub& events, const ListenAddress& bind, std::optional<TlsFiles> tls = {},
               HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const;
    HttpLoad Load() const;
    std::string url() const;
    // Ends the event streams (each with its last chunk) and the server's threads.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What a request's Host may name for a server bound to `bind`: its address,
// and for a loopback address localhost; for every address (0.0.0.0, ::)
// each address of this machine; and the `extra` names given. Lower case,
// IPv6 in brackets.
std::vector<std::string> host_names_for(const ListenAddress& bind, const std::vector<std::string>& extra);
