#include "host/http/http_server.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/common/host_address.h"
#include "host/http/fair_shares.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

constexpr int kIoThreads = 2;
constexpr std::size_t kSlowestReader = 64 * 1024;  // bytes a second a client that takes an answer must read
constexpr int kWorkers = 8;  // requests answered at once; a write may wait seconds for the poll loop
constexpr int kHeavyWorkers = 2;  // heavy requests (and their pieces) made at once, apart from the rest

// Under a flood of requests a cycle must not wait for a core: the HTTP
// threads give way to the poll loop (and to a simulated meter's pacing).
void lower_this_thread() {
    thread_local bool lowered = false;
    if (lowered) return;
    lowered = true;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

// Room for every connection the server takes, and a little more.
void raise_open_files() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

// libmodbus and libmosquitto wait on their sockets with select(), which
// takes descriptors below 1024 only (beyond, glibc's check ends the
// process). A client's connection is moved above them, so that clients
// never leave a reconnecting line or broker without a low one; where the
// limit on open files allows no such move, the connection is refused once
// the low ones run short.
constexpr int kFirstClientDescriptor = 1024;
constexpr int kLowDescriptorsKept = 256;

bool move_above_select(tcp::socket& socket) {
    const int low = socket.native_handle();
    const int high = fcntl(low, F_DUPFD_CLOEXEC, kFirstClientDescriptor);
    if (high < 0) return low < kFirstClientDescriptor - kLowDescriptorsKept;
    boost::system::error_code ec;
    const auto protocol = socket.local_endpoint(ec).protocol();
    socket.close(ec);
    socket.assign(protocol, high, ec);
    if (ec) {
        close(high);
        return false;
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %41 as A; a % that starts no escape is refused.
std::optional<std::string> percent_decoded(std::string_view text, bool plus_is_space) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' && plus_is_space) {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else if (i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// The path and query of a request's target, decoded; none for one that
// does not decode.
std::optional<ApiRequest> api_request_of(const http::request<http::string_body>& request, bool tls) {
    ApiRequest api;
    api.method = std::string(request.method_string());
    const std::string_view target(request.target().data(), request.target().size());
    const std::size_t mark = target.find('?');
    const auto path = percent_decoded(target.substr(0, mark), false);
    if (!path) return std::nullopt;
    api.path = *path;
    if (mark != std::string_view::npos) {
        std::string_view query = target.substr(mark + 1);
        while (!query.empty()) {
            const std::size_t amp = std::min(query.find('&'), query.size());
            const std::string_view pair = query.substr(0, amp);
            const std::size_t equals = pair.find('=');
            const auto name = percent_decoded(pair.substr(0, equals), true);
            const auto value = percent_decoded(equals == std::string_view::npos ? "" : pair.substr(equals + 1), true);
            if (!name || !value) return std::nullopt;
            if (!pair.empty()) api.params.emplace(*name, *value);
            query.remove_prefix(std::min(amp + 1, query.size()));
        }
    }
    api.content_type = std::string(request[http::field::content_type]);
    api.host = std::string(request[http::field::host]);
    api.origin = std::string(request[http::field::origin]);
    api.cookie = std::string(request[http::field::cookie]);
    api.authorization = std::string(request[http::field::authorization]);
    api.body = request.body();
    api.tls = tls;
    return api;
}

// The answer's status and headers, whatever carries its body.
template <class Body>
void set_answer_head(http::response<Body>& response, const ApiResponse& api, bool keep_alive, bool tls) {
    response.result(static_cast<http::status>(api.status));
    response.set(http::field::content_type, api.content_type);
    response.set("X-Content-Type-Options", "nosniff");
    response.set(http::field::cache_control, "no-store");
    response.set("Referrer-Policy", "no-referrer");
    if (tls) response.set("Strict-Transport-Security", "max-age=31536000");
    if (!api.allow.empty()) response.set(http::field::allow, api.allow);
    if (!api.set_cookie.empty()) response.set(http::field::set_cookie, api.set_cookie);
    if (api.retry_after_s > 0) response.set(http::field::retry_after, std::to_string(api.retry_after_s));
    if (!api.filename.empty()) response.set("Content-Disposition", "attachment; filename=\"" + api.filename + "\"");
    if (api.content_type == "text/html") {
        // The page runs only its own scripts: nothing a meter or a request
        // put into it can run as code.
        response.set("Content-Security-Policy",
                     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                     "connect-src 'self'; frame-ancestors 'none'; form-action 'none'");
    }
    response.keep_alive(keep_alive);
}

http::response<http::string_body> response_of(ApiResponse api, unsigned version, bool keep_alive, bool head, bool tls) {
    http::response<http::string_body> response{static_cast<http::status>(api.status), version};
    set_answer_head(response, api, keep_alive, tls);
    const std::size_t length = api.body.size();
    if (!head) response.body() = std::move(api.body);
    response.content_length(length);
    return response;
}

std::string address_text(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return std::string("[") + text + "]";
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

std::vector<std::string> host_names_for(const ListenAddress& bind, const std::vector<std::string>& extra) {
    std::vector<std::string> names;
    const std::string host = lowered(bind.host);
    if (host == "0.0.0.0" || host == "::") {
        ifaddrs* all = nullptr;
        if (getifaddrs(&all) == 0) {
            for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
                if (a->ifa_addr != nullptr && (a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6)) {
                    names.push_back(address_text(a->ifa_addr));
                }
            }
            freeifaddrs(all);
        }
        names.emplace_back("localhost");
    } else {
        names.push_back(host.find(':') != std::string::npos ? "[" + host + "]" : host);
        if (is_loopback(host)) names.insert(names.end(), {"localhost", "127.0.0.1", "[::1]"});
    }
    for (const std::string& name : extra) names.push_back(lowered(name));
    return names;
}

struct HttpServer::Impl {
    Impl(HttpHandler& handler_, EventHub& events_, HttpLimits limits_)
        : handler(handler_),
          events(events_),
          limits(limits_),
          heavy(limits.heavy_per_address, limits.heavy_waiting_per_address, limits.heavy_in_all),
          acceptor(net::make_strand(io)),
          accept_pause(acceptor.get_executor()) {}

    // A connection's place among those the server takes; given back with it.
    // Its members past the names are the server's, under count_mutex.
    class Ticket {
    public:
        Ticket(Impl& server, std::string address) : server_(server), address_(std::move(address)), share_(address_share(address_)) {}
        const std::string& address() const { return address_; }
        const std::string& share() const { return share_; }
        ~Ticket() { server_.Leave(*this); }
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        friend struct Impl;
        Impl& server_;
        std::string address_;
        std::string share_;
        std::function<void()> close;  // ends the connection from any thread; set before it is idle
        bool counted = true;          // false once it was closed to make room
        bool idle = false;            // waiting for a request (or its head's end)
        std::list<Ticket*>::iterator idle_at;
    };

    // A heavy request's place among its address's; given back when its
    // answer went out or the connection ended.
    class HeavyPlace {
    public:
        HeavyPlace(FairShares& shares, std::string share) : shares_(shares), share_(std::move(share)) {}
        ~HeavyPlace() { shares_.Done(share_); }
        HeavyPlace(const HeavyPlace&) = delete;
        HeavyPlace& operator=(const HeavyPlace&) = delete;

    private:
        FairShares& shares_;
        std::string share_;
    };

    template <class Stream>
    class Session;

    // A new connection's ticket, or none when there is no room. Room is
    // made by closing the connection idle longest: of the same address when
    // it holds its share, else of any.
    std::unique_ptr<Ticket> Admit(const tcp::socket& socket) {
        boost::system::error_code ec;
        const auto remote = socket.remote_endpoint(ec);
        auto ticket = std::make_unique<Ticket>(*this, ec ? "?" : remote.address().to_string());
        std::function<void()> close_idle;
        bool room = true;
        {
            const std::lock_guard<std::mutex> lock(count_mutex);
            const std::string& share = ticket->share();
            const auto held = per_share.find(share);
            const bool share_full = held != per_share.end() && held->second >= limits.connections_per_address;
            if (share_full || total >= limits.connections) {
                Ticket* oldest = OldestIdle(share_full ? &share : nullptr);
                room = oldest != nullptr;
                if (room) {
                    close_idle = std::move(oldest->close);
                    SetIdleLocked(*oldest, false);
                    Uncount(*oldest);
                }
            }
            if (room) {
                ++total;
                ++per_share[share];
            } else {
                ticket->counted = false;
            }
        }
        // Outside the lock: a ticket given back takes it.
        if (!room) return nullptr;
        if (close_idle) close_idle();
        return ticket;
    }

    // The session is idle now, or busy again; false when it was closed to make room.
    bool SetIdle(Ticket& ticket, bool now_idle) {
        const std::lock_guard<std::mutex> lock(count_mutex);
        if (!ticket.counted) return false;
        SetIdleLocked(ticket, now_idle);
        return true;
    }

    void SetClose(Ticket& ticket, std::function<void()> close) {
        const std::lock_guard<std::mutex> lock(count_mutex);
        ticket.close = std::move(close);
    }

    void Leave(Ticket& ticket) {
        const std::lock_guard<std::mutex> lock(count_mutex);
        SetIdleLocked(ticket, false);
        if (ticket.counted) Uncount(ticket);
    }

    // Under count_mutex.
    Ticket* OldestIdle(const std::string* share) const {
        for (Ticket* ticket : idle) {
            if (share == nullptr || ticket->share() == *share) return ticket;
        }
        return nullptr;
    }
    void SetIdleLocked(Ticket& ticket, bool now_idle) {
        if (now_idle == ticket.idle) return;
        if (now_idle) {
            ticket.idle_at = idle.insert(idle.end(), &ticket);
        } else {
            idle.erase(ticket.idle_at);
        }
        ticket.idle = now_idle;
    }
    void Uncount(Ticket& ticket) {
        ticket.counted = false;
        --total;
        if (--per_share[ticket.share()] == 0) per_share.erase(ticket.share());
    }

    void Accept();

    // A stream's thread is done with the server; the last word it says.
    void StreamEnded() {
        const std::lock_guard<std::mutex> lock(streams_mutex);
        --streams;
        streams_ended.notify_all();
    }

    HttpHandler& handler;
    EventHub& events;
    const HttpLimits limits;
    // Before the workers: a heavy request's place, given back as its work
    // is dropped, finds the shares still there.
    FairShares heavy;
    // Declared before the io_context: sessions still queued in it when it
    // goes give back their tickets and use the TLS context as they die.
    std::optional<ssl::context> tls;
    std::mutex count_mutex;  // guards total, per_share, idle and each ticket's server-side members
    int total = 0;
    std::map<std::string, int> per_share;
    std::list<Ticket*> idle;  // idle connections, longest idle first
    std::mutex streams_mutex;  // guards streams
    std::condition_variable streams_ended;
    int streams = 0;  // event streams open; at most the hub's clients
    std::atomic<bool> stopped{false};
    std::string host;
    int port = 0;
    net::io_context io;
    // The io threads run while streams end, though no socket waits then:
    // a stream's last chunk is handed to them from the stream's own thread.
    net::executor_work_guard<net::io_context::executor_type> keep_running{io.get_executor()};
    tcp::acceptor acceptor;      // on a strand of its own: its handler and Stop's close
    net::steady_timer accept_pause;  // after a failed accept (no descriptor left, say)
    net::thread_pool workers{kWorkers};
    net::thread_pool heavy_workers{kHeavyWorkers};
    std::vector<std::thread> threads;
};

template <class Stream>
class HttpServer::Impl::Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    template <class... Args>
    Session(Impl& server, std::unique_ptr<Ticket> ticket, Args&&... stream)
        : server_(server), ticket_(std::move(ticket)), stream_(std::forward<Args>(stream)...) {}

    void Start() {
        std::weak_ptr<Session> weak = this->shared_from_this();
        server_.SetClose(*ticket_, [weak] {
            if (auto self = weak.lock()) net::post(self->stream_.get_executor(), [self] { self->CloseIdle(); });
        });
        // Waiting for its first request, a new connection is as idle as any.
        if (!server_.SetIdle(*ticket_, true)) return Close();
        if constexpr (kTls) {
            Deadline();
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (!ec) self->Read();
                                    });
        } else {
            Read();
        }
    }

private:
    static constexpr bool kTls = std::is_same_v<Stream, beast::ssl_stream<beast::tcp_stream>>;

    void Deadline() { beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(kSecondsForARequest)); }

    void Read() {
        if (!server_.SetIdle(*ticket_, true)) return Close();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMostHead));
        parser_->body_limit(kMostBody);
        Deadline();
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

    void OnHead(beast::error_code ec) {
        // Closed to make room while the head came: the client asks again.
        if (!server_.SetIdle(*ticket_, false)) return Close();
        if (ec == http::error::header_limit) {
            return Refuse(431, "the request's head is larger than " + std::to_string(kMostHead) + " bytes");
        }
        // A Content-Length beyond the limit is caught with the head.
        if (ec == http::error::body_limit) return RefuseLargeBody();
        if (ec) {
            // Gone, or too slow: a request that did not come whole in time gets no answer.
            if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::eof ||
                ec == net::error::connection_reset || ec == net::error::operation_aborted) {
                return Close();
            }
            return Refuse(400, "the request could not be read (" + ec.message() + ")");
        }
        const auto& request = parser_->get();
        if (request.count(http::field::host) != 1) return Refuse(400, "a request names its host once");
        // Two lengths, even equal ones, are how a request is smuggled past a proxy.
        if (request.count(http::field::content_length) > 1) return Refuse(400, "a request gives its length once");
        const bool takes_body = request.method() == http::verb::post || request.method() == http::verb::put ||
                                request.method() == http::verb::patch;
        // A body in chunks, or one with no length, is refused before a byte of it is read.
        if (request.chunked() || (takes_body && !request.has_content_length())) {
            return Refuse(411, "send the body with a Content-Length, in one piece");
        }
        if (parser_->is_done()) return Dispatch();
        http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code read, std::size_t) {
            if (read == http::error::body_limit) return self->RefuseLargeBody();
            if (read) return self->Close();
            self->Dispatch();
        });
    }

    void Dispatch() {
        beast::get_lowest_layer(stream_).expires_never();
        const auto& request = parser_->get();
        std::optional<ApiRequest> parsed = api_request_of(request, kTls);
        if (parsed) parsed->remote = ticket_->address();
        if (!parsed) return Refuse(400, "the request's path or query does not decode");
        version_ = request.version();
        keep_alive_ = request.keep_alive();
        head_ = request.method() == http::verb::head;
        // However often it is renewed, a connection ends in time.
        const HttpLimits& bounds = server_.limits;
        if (++requests_ >= bounds.requests_per_connection || std::chrono::steady_clock::now() - born_ >= bounds.connection_lifetime) {
            keep_alive_ = false;
        }
        const bool weighs = server_.handler.Heavy(*parsed);
        auto work = [self = this->shared_from_this(), asked = std::move(*parsed)](std::shared_ptr<HeavyPlace> place) {
            lower_this_thread();
            ApiResponse answer;
            try {
                answer = self->server_.handler.Handle(asked);
                // The first piece is made here: what fails before it is
                // still a status, and a short answer goes whole.
                if (answer.pieces && !self->head_ && !answer.pieces(answer.body)) answer.pieces = nullptr;
            } catch (const std::exception& e) {
                // Out of memory, say, or a history that cannot be read: this request fails, not the server.
                answer = answer.pieces ? api_error(503, e.what()) : api_error(500, std::string("the request failed: ") + e.what());
            }
            net::post(self->stream_.get_executor(), [self, answer = std::move(answer), place = std::move(place)]() mutable {
                self->place_ = std::move(place);
                self->Answer(std::move(answer));
            });
        };
        if (!weighs) return net::post(server_.workers, [work = std::move(work)]() mutable { work(nullptr); });
        // Its address's turn among the heavy ones; the light ones never wait for it.
        const bool lined_up = server_.heavy.Enter(ticket_->share(), [&server = server_, work = std::move(work),
                                                                       share = ticket_->share()]() mutable {
            auto place = std::make_shared<HeavyPlace>(server.heavy, share);
            if (server.stopped) return;
            net::post(server.heavy_workers, [work = std::move(work), place = std::move(place)]() mutable { work(std::move(place)); });
        });
        if (!lined_up) {
            ApiResponse busy = api_error(429, "this address has " + std::to_string(bounds.heavy_per_address + bounds.heavy_waiting_per_address) +
                                                  " history requests under way or waiting; try again when they are answered");
            busy.retry_after_s = 1;
            Answer(std::move(busy));
        }
    }

    void Answer(ApiResponse answer) {
        if (answer.sessions_ended) server_.events.Wake();
        if (answer.event_stream) {
            // Chunks need HTTP/1.1, and a HEAD has no body to stream.
            if (head_ || version_ < 11) return Refuse(400, "the event stream is a GET over HTTP/1.1");
            allowed_ = std::move(answer.stream_allowed);
            return StreamEvents();
        }
        if (answer.pieces && head_) return AnswerHeadOnly(answer);
        if (answer.pieces) return SendPieces(std::move(answer));
        response_ = response_of(std::move(answer), version_, keep_alive_, head_, kTls);
        // A large body gets the time a slow reader needs, not more.
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(kSecondsForARequest) +
                                                       std::chrono::seconds(response_->body().size() / kSlowestReader));
        http::async_write(stream_, *response_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->response_.reset();
            self->Answered(!ec);
        });
    }

    // The answer went out (or could not): the heavy place goes back, and
    // the connection waits for the next request or ends.
    void Answered(bool sent) {
        place_.reset();
        if (sent && keep_alive_ && !server_.stopped) return Read();
        if (refused_) return Linger();
        Close();
    }

    // A HEAD of what is made in pieces: the head alone, nothing made.
    void AnswerHeadOnly(const ApiResponse& answer) {
        auto head = std::make_shared<http::response<http::empty_body>>(http::status::ok, version_);
        set_answer_head(*head, answer, keep_alive_, kTls);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*head);
        Deadline();
        http::async_write_header(stream_, *serializer, [self = this->shared_from_this(), head, serializer](beast::error_code ec, std::size_t) {
            self->Answered(!ec);
        });
    }

    // A body made as the client takes it: its head with the first piece at
    // hand, then each piece in a chunk, the next made only once the last
    // went out. A reader that takes nothing for a while, or too little in
    // all, is dropped, and what it held with it.
    void SendPieces(ApiResponse answer) {
        pieces_ = std::move(answer.pieces);
        piece_ = std::move(answer.body);
        auto head = std::make_shared<http::response<http::empty_body>>(http::status::ok, version_);
        set_answer_head(*head, answer, keep_alive_, kTls);
        head->chunked(true);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*head);
        answer_began_ = std::chrono::steady_clock::now();
        sent_ = 0;
        Deadline();
        http::async_write_header(stream_, *serializer, [self = this->shared_from_this(), head, serializer](beast::error_code ec, std::size_t) {
            if (ec) return self->Answered(false);
            self->WritePiece();
        });
    }

    void WritePiece() {
        const auto allowed = std::chrono::seconds(kSecondsForARequest) + std::chrono::seconds(sent_ / kSlowestReader);
        if (std::chrono::steady_clock::now() - answer_began_ > allowed) return Answered(false);
        Deadline();
        if (piece_.empty()) {
            pieces_ = nullptr;
            return net::async_write(stream_, http::make_chunk_last(),
                                    [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->Answered(!ec); });
        }
        net::async_write(stream_, http::make_chunk(net::buffer(piece_)), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->Answered(false);
            self->sent_ += self->piece_.size();
            self->piece_.clear();
            if (!self->pieces_) return self->WritePiece();
            // Made among the heavy ones' workers, handed back to the strand.
            net::post(self->server_.heavy_workers, [self] {
                lower_this_thread();
                bool more = false;
                bool failed = false;
                try {
                    more = self->pieces_(self->piece_);
                } catch (const std::exception&) {
                    failed = true;
                }
                net::post(self->stream_.get_executor(), [self, more, failed] {
                    // Cut short, the answer ends without its last chunk: the client sees it broken.
                    if (failed) return self->Answered(false);
                    if (!more) self->pieces_ = nullptr;
                    if (self->piece_.empty() && more) return self->Answered(false);
                    self->WritePiece();
                });
            });
        });
    }

    // An answer and the end of the connection: for what no reply can mend.
    void Refuse(int status, const std::string& text) {
        version_ = parser_ ? parser_->get().version() : 11;
        head_ = parser_ && parser_->get().method() == http::verb::head;
        keep_alive_ = false;
        refused_ = true;
        Answer(api_error(status, text));
    }

    // After a refusal, what the client still sends (the body not read) is
    // read and dropped for a moment before the close: closed with unread
    // bytes, the connection would be reset, the answer often lost with it.
    void Linger() {
        if constexpr (kTls) {
            Close();
        } else {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            stream_.expires_after(std::chrono::seconds(1));
            DropUntilClosed();
        }
    }

    void DropUntilClosed() {
        stream_.async_read_some(net::buffer(dropped_), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec) return self->DropUntilClosed();
            beast::error_code ignored;
            self->stream_.socket().close(ignored);
        });
    }

    void RefuseLargeBody() { Refuse(413, "the body is larger than " + std::to_string(kMostBody) + " bytes"); }

    // The event stream: its header, then a chunk for each batch of frames
    // the hub wakes it for, a comment now and then to find a peer that went
    // away, and the last chunk when the hub closes. All on the connection's
    // strand: no thread of its own.
    void StreamEvents() {
        std::weak_ptr<Session> weak = this->shared_from_this();
        std::optional<EventHub::Client> joined = server_.events.Join(
            [weak] {
                if (auto self = weak.lock()) net::post(self->stream_.get_executor(), [self] { self->Pump(); });
            },
            ticket_->share());
        if (!joined) {
            keep_alive_ = false;
            ApiResponse full = api_error(503, "too many event streams are open: at most " + std::to_string(EventHub::kMostFromOneShare) +
                                                  " from one address, " + std::to_string(EventHub::kMostClients) + " in all");
            full.retry_after_s = 5;
            return Answer(std::move(full));
        }
        client_.emplace(std::move(*joined));
        auto header = std::make_shared<http::response<http::empty_body>>(http::status::ok, version_);
        header->set(http::field::content_type, "text/event-stream");
        header->set(http::field::cache_control, "no-store");
        header->set("X-Content-Type-Options", "nosniff");
        header->chunked(true);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
        // Counted from here, so that stopping waits for a stream whose
        // header is still on its way, and ends it with its last chunk.
        {
            const std::lock_guard<std::mutex> lock(server_.streams_mutex);
            ++server_.streams;
        }
        counted_ = true;
        writing_ = true;
        Deadline();
        http::async_write_header(stream_, *serializer,
                                 [self = this->shared_from_this(), header, serializer](beast::error_code ec, std::size_t) {
                                     self->writing_ = false;
                                     if (ec) return self->EndStream();
                                     self->Beat();
                                     self->Pump();
                                 });
    }

    // A comment every 15 s, so that a reader that went away is found.
    void Beat() {
        heartbeat_.expires_after(std::chrono::seconds(15));
        heartbeat_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (ec || self->ended_) return;
            self->beat_due_ = true;
            self->Pump();
            self->Beat();
        });
    }

    // On the strand: what the hub holds for this client goes out as one
    // chunk; what comes while it is written goes with the next.
    void Pump() {
        if (ended_ || writing_ || !client_) return;
        std::string text;
        for (const std::string& frame : client_->Take()) text += frame;
        const bool last = server_.events.closed() || (allowed_ && !allowed_());
        if (text.empty() && beat_due_) text = ": still here\n\n";
        beat_due_ = false;
        if (text.empty() && !last) return;
        writing_ = true;
        chunk_text_ = std::move(text);
        // A reader that takes nothing for this long is dropped.
        Deadline();
        const auto done = [self = this->shared_from_this(), last](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec || last) return self->EndStream();
            self->Pump();
        };
        if (chunk_text_.empty()) {
            net::async_write(stream_, http::make_chunk_last(), done);
        } else if (last) {
            net::async_write(stream_, http::make_chunk(net::buffer(chunk_text_)),
                             [self = this->shared_from_this(), done](beast::error_code ec, std::size_t n) {
                                 if (ec) return done(ec, n);
                                 net::async_write(self->stream_, http::make_chunk_last(), done);
                             });
        } else {
            net::async_write(stream_, http::make_chunk(net::buffer(chunk_text_)), done);
        }
    }

    void EndStream() {
        if (ended_) return;
        ended_ = true;
        heartbeat_.cancel();
        client_.reset();
        Close();
        if (counted_) server_.StreamEnded();
    }

    // Idle, and closed to make room for a new connection.
    void CloseIdle() {
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

    void Close() {
        beast::error_code ignored;
        if constexpr (kTls) {
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(1));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                beast::error_code done;
                beast::get_lowest_layer(self->stream_).socket().close(done);
            });
        } else {
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            stream_.socket().close(ignored);
        }
    }

    Impl& server_;
    std::unique_ptr<Ticket> ticket_;
    const std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
    int requests_ = 0;
    std::shared_ptr<HeavyPlace> place_;  // while a heavy answer is made or sent
    std::function<bool(std::string&)> pieces_;  // makes the rest of the answer going out; none: no more
    std::string piece_;                         // the piece going out, or being made
    std::size_t sent_ = 0;                      // of the answer in pieces
    std::chrono::steady_clock::time_point answer_began_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    std::string chunk_text_;
    std::optional<EventHub::Client> client_;  // while it streams the events
    std::function<bool()> allowed_;           // whether its session still holds; none: it needs none
    net::steady_timer heartbeat_{stream_.get_executor()};
    bool writing_ = false;  // a chunk (or the header) is on its way
    bool beat_due_ = false;
    bool ended_ = false;
    bool counted_ = false;  // among the server's streams
    std::array<char, 4096> dropped_{};
    unsigned version_ = 11;
    bool keep_alive_ = false;
    bool head_ = false;
    bool refused_ = false;
};

void HttpServer::Impl::Accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || stopped) return;
        if (ec) {
            // Out of descriptors, say: tried again shortly, not in a busy loop.
            accept_pause.expires_after(std::chrono::milliseconds(100));
            accept_pause.async_wait([this](beast::error_code waited) {
                if (!waited && !stopped) Accept();
            });
            return;
        }
        // An answer's last piece goes out at once: held for the acknowledgement
        // of the one before (which a kept-alive client delays), a year's chart
        // took 40 ms longer on every request after its connection's first.
        beast::error_code ignored_option;
        socket.set_option(tcp::no_delay(true), ignored_option);
        std::unique_ptr<Ticket> ticket = move_above_select(socket) ? Admit(socket) : nullptr;
        if (!ticket) {
            beast::error_code ignored;
            socket.close(ignored);  // full: refused at once, not queued
        } else if (tls) {
            std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(*this, std::move(ticket), std::move(socket), *tls)
                ->Start();
        } else {
            std::make_shared<Session<beast::tcp_stream>>(*this, std::move(ticket), std::move(socket))->Start();
        }
        Accept();
    });
}

HttpServer::HttpServer(HttpHandler& handler, EventHub& events, const ListenAddress& bind, std::optional<TlsFiles> tls,
                       HttpLimits limits)
    : impl_(std::make_unique<Impl>(handler, events, limits)) {
    Impl& s = *impl_;
    raise_open_files();
    s.host = bind.host;
    if (tls) {
        s.tls.emplace(ssl::context::tls_server);
        s.tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                           ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        try {
            s.tls->use_certificate_chain_file(tls->certificate);
            s.tls->use_private_key_file(tls->key, ssl::context::pem);
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error("cannot use the certificate " + tls->certificate + " and key " + tls->key + ": " +
                                     e.code().message());
        }
    }
    try {
        const auto address = net::ip::make_address(bind.host == "localhost" ? "127.0.0.1" : bind.host);
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(bind.port));
        s.acceptor.open(endpoint.protocol());
        s.acceptor.set_option(net::socket_base::reuse_address(true));
        s.acceptor.bind(endpoint);
        s.acceptor.listen(net::socket_base::max_listen_connections);
        s.port = s.acceptor.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on " + bind.host + ":" + std::to_string(bind.port) + " (" +
                                 e.code().message() + ")");
    }
    s.Accept();
    for (int i = 0; i < kIoThreads; ++i) {
        s.threads.emplace_back([&s] {
            lower_this_thread();
            for (;;) {
                try {
                    s.io.run();
                    return;
                } catch (const std::exception&) {
                    // A handler that threw ends its connection, not the server.
                }
            }
        });
    }
}

HttpServer::~HttpServer() { Stop(); }

int HttpServer::port() const { return impl_->port; }

HttpLoad HttpServer::Load() const {
    Impl& s = *impl_;
    HttpLoad load;
    {
        const std::lock_guard<std::mutex> lock(s.count_mutex);
        load.connections = s.total;
        load.idle = static_cast<int>(s.idle.size());
    }
    load.heavy_running = s.heavy.running();
    load.heavy_waiting = s.heavy.waiting();
    return load;
}

std::string HttpServer::url() const {
    const std::string& host = impl_->host;
    const std::string shown = host == "0.0.0.0" || host == "::" ? "127.0.0.1"
                              : host.find(':') != std::string::npos ? "[" + host + "]"
                                                                     : host;
    return std::string(impl_->tls ? "https" : "http") + "://" + shown + ":" + std::to_string(impl_->port) + "/";
}

void HttpServer::Stop() {
    Impl& s = *impl_;
    if (s.stopped.exchange(true)) return;
    net::post(s.acceptor.get_executor(), [&s] {
        beast::error_code ignored;
        s.acceptor.close(ignored);
        s.accept_pause.cancel();
    });
    // The streams end with their last chunk while the server still writes;
    // one whose reader takes nothing is dropped by its deadline.
    s.events.Close();
    {
        std::unique_lock<std::mutex> lock(s.streams_mutex);
        s.streams_ended.wait_for(lock, std::chrono::seconds(kSecondsForARequest + 1), [&s] { return s.streams == 0; });
    }
    s.workers.join();
    s.heavy_workers.join();
    s.keep_running.reset();
    s.io.stop();
    for (std::thread& thread : s.threads) thread.join();
}
