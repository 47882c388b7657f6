#include "host/live/http_server.h"

#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// Under a flood of requests a cycle must not wait for a core: the HTTP
// threads give way to the poll loop (and to a simulated meter's pacing).
void lower_this_thread() {
    thread_local bool lowered = false;
    if (lowered) return;
    lowered = true;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

class YieldingPool : public httplib::TaskQueue {
public:
    explicit YieldingPool(std::size_t threads) : pool_(threads) {}
    void enqueue(std::function<void()> task) override {
        pool_.enqueue([task = std::move(task)] {
            lower_this_thread();
            task();
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
};

ApiRequest api_request_of(const httplib::Request& request) {
    ApiRequest api;
    api.method = request.method;
    api.path = request.path;
    api.params.insert(request.params.begin(), request.params.end());
    api.content_type = request.get_header_value("Content-Type");
    api.body = request.body;
    return api;
}

void answer(httplib::Response& response, ApiResponse api) {
    response.status = api.status;
    if (!api.allow.empty()) response.set_header("Allow", api.allow);
    if (!api.filename.empty()) response.set_header("Content-Disposition", "attachment; filename=\"" + api.filename + "\"");
    if (api.content_type == "text/html") {
        // The page runs only its own scripts: nothing a meter or a request
        // put into it can run as code.
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                            "connect-src 'self'; frame-ancestors 'none'; form-action 'none'");
    }
    response.body = std::move(api.body);
    response.set_header("Content-Type", api.content_type);
}

void stream_events(EventHub& events, httplib::Response& response) {
    std::optional<EventHub::Client> joined = events.Join();
    if (!joined) {
        answer(response, api_error(503, "too many event streams are open"));
        return;
    }
    auto client = std::make_shared<EventHub::Client>(std::move(*joined));
    response.set_chunked_content_provider("text/event-stream", [client, &events](std::size_t, httplib::DataSink& sink) {
        if (events.closed()) return false;
        std::vector<std::string> frames = client->Next(std::chrono::seconds(15));
        if (events.closed()) return false;
        // A comment now and then finds a peer that went away.
        if (frames.empty()) frames.emplace_back(": still here\n\n");
        for (const std::string& frame : frames) {
            if (!sink.write(frame.data(), frame.size())) return false;
        }
        return true;
    });
}

}  // namespace

HttpServer::HttpServer(HttpApi& api, EventHub& events, const ListenAddress& bind)
    : api_(api), events_(events), host_(bind.host), server_(std::make_unique<httplib::Server>()) {
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new YieldingPool(kThreads); };
    server.set_payload_max_length(kMostBody);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_max_count(100000);
    // The headers and the body go out in separate writes: without this the
    // body waits for the client's delayed acknowledgement, 40 ms.
    server.set_tcp_nodelay(true);
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Cache-Control", "no-store"},
                                {"Referrer-Policy", "no-referrer"}});
    // The library holds a body sent in chunks to no limit; and a body with
    // no length it waits for until the read times out. Either is refused
    // before a byte of it is read.
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        const bool chunked = request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
        const bool takes_body = request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
        if (chunked || (takes_body && !request.has_header("Content-Length"))) {
            answer(response, api_error(411, "send the body with a Content-Length, in one piece"));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        ApiResponse api_response = api_.Handle(api_request_of(request));
        if (api_response.status == 0) {
            stream_events(events_, response);
            return;
        }
        answer(response, std::move(api_response));
    };
    server.Get(".*", handle);
    server.Post(".*", handle);
    server.Put(".*", handle);
    server.Patch(".*", handle);
    server.Delete(".*", handle);
    server.Options(".*", handle);
    // What the library refuses itself (413 for a body too large, 400 for a
    // request it cannot read) is answered as JSON too.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string text = response.status == 413
                                     ? "the body is larger than " + std::to_string(kMostBody) + " bytes"
                                     : "the request could not be read (status " + std::to_string(response.status) + ")";
        answer(response, api_error(response.status, text));
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, api_error(500, "the request could not be answered"));
    });
    if (bind.port == 0) {
        port_ = server.bind_to_any_port(bind.host);
    } else {
        port_ = server.bind_to_port(bind.host, bind.port) ? bind.port : -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("cannot listen on " + bind.host + ":" + std::to_string(bind.port) +
                                 " (in use, or not an address of this machine)");
    }
    listener_ = std::thread([&server] {
        lower_this_thread();
        server.listen_after_bind();
    });
}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::url() const {
    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return "http://" + (host_ == "0.0.0.0" || host_ == "::" ? std::string("127.0.0.1") : host) + ":" +
           std::to_string(port_) + "/";
}

void HttpServer::Stop() {
    if (!listener_.joinable()) return;
    events_.Close();
    server_->stop();
    listener_.join();
}
