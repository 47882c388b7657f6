#include "host/http/web_post.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <memory>
#include <optional>
#include <stdexcept>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

// An answer's body beyond this is not read: a hook's answer is short.
constexpr std::size_t kMostAnswer = 64 * 1024;

// One exchange on one stream: resolve, connect, (handshake,) write, read;
// every step's error ends it.
template <typename Stream>
class Exchange : public std::enable_shared_from_this<Exchange<Stream>> {
public:
    Exchange(net::io_context& io, Stream stream, const WebUrl& url, http::request<http::string_body> request,
             PostAnswer& answer)
        : resolver_(io), stream_(std::move(stream)), url_(url), request_(std::move(request)), answer_(answer) {
        parser_.body_limit(kMostAnswer);
    }

    void Start() {
        auto self = this->shared_from_this();
        resolver_.async_resolve(url_.host, url_.port, [self](beast::error_code ec, tcp::resolver::results_type found) {
            if (ec) return self->Fail("cannot resolve " + self->url_.host, ec);
            beast::get_lowest_layer(self->stream_).async_connect(
                found, [self](beast::error_code ec2, const tcp::endpoint&) {
                    if (ec2) return self->Fail("cannot connect", ec2);
                    self->Connected();
                });
        });
    }

private:
    void Connected() {
        auto self = this->shared_from_this();
        if constexpr (std::is_same_v<Stream, beast::ssl_stream<beast::tcp_stream>>) {
            stream_.async_handshake(ssl::stream_base::client, [self](beast::error_code ec) {
                if (ec) return self->Fail("TLS refused", ec);
                self->Write();
            });
        } else {
            Write();
        }
    }
    void Write() {
        auto self = this->shared_from_this();
        http::async_write(stream_, request_, [self](beast::error_code ec, std::size_t) {
            if (ec) return self->Fail("cannot send", ec);
            http::async_read(self->stream_, self->buffer_, self->parser_, [self](beast::error_code ec2, std::size_t) {
                // An answer too long still has its status.
                if (ec2 && ec2 != http::error::body_limit) return self->Fail("no answer", ec2);
                const auto& message = self->parser_.get();
                self->answer_.status = static_cast<int>(message.result_int());
                self->answer_.body = message.body().substr(0, 200);
                self->done_ = true;
            });
        });
    }
    void Fail(const std::string& what, const beast::error_code& ec) { answer_.error = what + ": " + ec.message(); }

public:
    bool done_ = false;

private:
    tcp::resolver resolver_;
    Stream stream_;
    const WebUrl& url_;
    http::request<http::string_body> request_;
    beast::flat_buffer buffer_;
    http::response_parser<http::string_body> parser_;
    PostAnswer& answer_;
};

}  // namespace

struct WebPoster::Tls {
    ssl::context context{ssl::context::tls_client};
};

std::string PostAnswer::Text() const {
    if (!error.empty()) return error;
    std::string text = "HTTP " + std::to_string(status);
    if (!body.empty()) text += ": " + body.substr(0, 120);
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

WebPoster::WebPoster(WebUrl url, const std::string& ca_file, std::chrono::milliseconds deadline)
    : url_(std::move(url)), ca_file_(ca_file), deadline_(deadline) {
    if (!ca_file_.empty()) {
        ssl::context probe(ssl::context::tls_client);
        beast::error_code ec;
        probe.load_verify_file(ca_file_, ec);
        if (ec) throw std::runtime_error("cannot read the CA file " + ca_file_ + ": " + ec.message());
    }
}

PostAnswer WebPoster::Post(const std::string& content_type,
                           const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
    PostAnswer answer;
    std::optional<Tls> tls;  // outlives the context's handlers and their streams
    net::io_context io;
    {
        const std::lock_guard<std::mutex> lock(running_mutex_);
        if (cancelled_) {
            answer.error = "cancelled";
            return answer;
        }
        running_ = &io;
    }
    http::request<http::string_body> request{http::verb::post, url_.target, 11};
    request.set(http::field::host, url_.HostHeader());
    request.set(http::field::user_agent, "qmxhost");
    request.set(http::field::content_type, content_type);
    request.set(http::field::connection, "close");
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.prepare_payload();

    std::shared_ptr<void> keep;
    bool* done = nullptr;
    try {
        if (url_.tls) {
            tls.emplace();
            tls->context.set_verify_mode(ssl::verify_peer);
            if (ca_file_.empty()) {
                tls->context.set_default_verify_paths();
            } else {
                tls->context.load_verify_file(ca_file_);
            }
            beast::ssl_stream<beast::tcp_stream> stream(io, tls->context);
            if (SSL_set_tlsext_host_name(stream.native_handle(), url_.host.c_str()) != 1) {
                throw std::runtime_error("cannot name the host for TLS");
            }
            stream.set_verify_callback(ssl::host_name_verification(url_.host));
            auto exchange = std::make_shared<Exchange<beast::ssl_stream<beast::tcp_stream>>>(
                io, std::move(stream), url_, std::move(request), answer);
            done = &exchange->done_;
            keep = exchange;
            exchange->Start();
        } else {
            auto exchange =
                std::make_shared<Exchange<beast::tcp_stream>>(io, beast::tcp_stream(io), url_, std::move(request), answer);
            done = &exchange->done_;
            keep = exchange;
            exchange->Start();
        }
        io.run_for(deadline_);
    } catch (const std::exception& e) {
        answer.error = e.what();
    }
    {
        const std::lock_guard<std::mutex> lock(running_mutex_);
        running_ = nullptr;
        if (answer.error.empty() && !*done) answer.error = cancelled_ ? "cancelled" : "no answer within the deadline";
    }
    return answer;
}

void WebPoster::Cancel() {
    const std::lock_guard<std::mutex> lock(running_mutex_);
    cancelled_ = true;
    if (running_ != nullptr) running_->stop();
}
