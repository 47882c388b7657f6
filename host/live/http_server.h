// The HTTP side of the bench host: cpp-httplib's server on its own threads,
// handing every request to HttpApi and streaming the events. Nothing here
// runs on the poll loop, so a slow or stuck client delays no cycle.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "host/core/endpoints.h"
#include "host/live/event_hub.h"
#include "host/live/http_api.h"

namespace httplib {
class Server;
}

class HttpServer {
public:
    // The library gives each open connection a thread of the pool while it
    // lasts: room for the event streams and dozens of keep-alive clients.
    static constexpr int kThreads = 64;
    static constexpr std::size_t kMostBody = 4096;  // larger bodies are refused with 413

    // Binds at once; throws std::runtime_error when it cannot.
    HttpServer(HttpApi& api, EventHub& events, const ListenAddress& bind);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    std::string url() const;
    // Ends the event streams and waits for the server's threads.
    void Stop();

private:
    HttpApi& api_;
    EventHub& events_;
    std::string host_;
    int port_ = 0;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
};
