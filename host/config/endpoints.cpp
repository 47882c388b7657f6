#include "host/config/endpoints.h"

#include <libpq-fe.h>

#include <map>
#include <memory>
#include <stdexcept>

#include "host/common/number_text.h"

namespace {

// 1 to 5 decimal digits up to 65535, or -1.
int port_number(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int port = std::stoi(text);
    return port <= 65535 ? port : -1;
}

}  // namespace

ListenAddress parse_listen_address(const std::string& text) {
    ListenAddress listen;
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        std::string host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (!host.empty()) listen.host = host;
        if (host.find(':') != std::string::npos && text.front() != '[') {
            throw std::invalid_argument("write an IPv6 address in brackets: [::1]:8080");
        }
    }
    listen.port = port_number(port);
    if (listen.port < 0) throw std::invalid_argument("expected [ADDR:]PORT with a port 0…65535, not \"" + text + "\"");
    return listen;
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

BrokerAddress parse_broker_url(const std::string& url) {
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) throw std::invalid_argument("expected mqtt://HOST[:PORT], not \"" + url + "\"");
    const std::string scheme = url.substr(0, scheme_end);
    if (scheme != "mqtt" && scheme != "mqtts") {
        throw std::invalid_argument("the scheme must be mqtt:// or mqtts://, not " + scheme + "://");
    }
    BrokerAddress broker;
    broker.tls = scheme == "mqtts";
    std::string rest = url.substr(scheme_end + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/@?#") != std::string::npos) {
        throw std::invalid_argument("give only the broker's host and port (a login goes in --mqtt-login or the "
                                    "environment), not \"" + url + "\"");
    }
    std::string port = broker.tls ? "8883" : "1883";
    std::string host = rest;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) throw std::invalid_argument("an IPv6 address needs its closing ]");
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') throw std::invalid_argument("expected :PORT after the IPv6 address");
            port = rest.substr(close + 2);
        }
    } else if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty()) throw std::invalid_argument("no broker host in \"" + url + "\"");
    broker.port = port_number(port);
    if (broker.port < 1) throw std::invalid_argument("the broker's port must be 1…65535, not \"" + port + "\"");
    broker.host = host;
    return broker;
}

WebUrl parse_web_url(const std::string& url) {
    WebUrl web;
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        web.tls = true;
        rest = url.substr(8);
    } else if (url.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else {
        throw std::invalid_argument("expected an http:// or https:// URL, not \"" + url + "\"");
    }
    if (url.size() > 2048) throw std::invalid_argument("a URL longer than 2048 characters");
    if (url.find_first_of(" \t\r\n") != std::string::npos) throw std::invalid_argument("a URL holds no spaces or line breaks");
    const std::size_t end = rest.find_first_of("/?#");
    const std::string authority = rest.substr(0, end);
    if (end != std::string::npos) web.target = rest.substr(end);
    if (const std::size_t hash = web.target.find('#'); hash != std::string::npos) web.target.erase(hash);
    if (web.target.empty() || web.target.front() != '/') web.target.insert(0, "/");
    if (authority.find('@') != std::string::npos) {
        throw std::invalid_argument("a login in the URL is not sent; give it as a header (\"headers\")");
    }
    web.port = web.tls ? "443" : "80";
    web.host = authority;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) throw std::invalid_argument("an IPv6 address needs its closing ]");
        web.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') throw std::invalid_argument("expected :PORT after the IPv6 address");
            web.port = authority.substr(close + 2);
        }
    } else if (const std::size_t colon = authority.rfind(':'); colon != std::string::npos) {
        web.host = authority.substr(0, colon);
        web.port = authority.substr(colon + 1);
    }
    if (web.host.empty()) throw std::invalid_argument("no host in \"" + url + "\"");
    if (port_number(web.port) < 1) throw std::invalid_argument("the port must be 1…65535, not \"" + web.port + "\"");
    return web;
}

std::string mqtt_prefix_problem(const std::string& prefix) {
    if (prefix.empty() || prefix.back() != '/') return "the topic prefix must end in /";
    if (prefix.find_first_of("+#") != std::string::npos) return "the topic prefix must not hold + or #";
    if (prefix.front() == '/') return "the topic prefix must not begin with /";
    return "";
}

namespace {
// The longest name DNS carries.
constexpr std::size_t kLongestHost = 253;
}  // namespace

TcpAddress parse_tcp_address(const std::string& text) {
    const std::string form = "\"" + text + "\" is not HOST:PORT (an IPv6 address in brackets: [::1]:502)";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument(form);
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of("[]:") != std::string::npos) {
        throw std::invalid_argument(form);
    }
    if (host.empty()) throw std::invalid_argument(form);
    if (host.size() > kLongestHost) throw std::invalid_argument("host name longer than 253 characters");
    if (host.find_first_of(" \t\r\n") != std::string::npos) throw std::invalid_argument(form);
    long long port = 0;
    try {
        port = parse_whole(text.substr(colon + 1), 1, 65535);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("port of \"" + text + "\": " + e.what());
    }
    return {host, std::to_string(port)};
}

namespace {

std::string host_text(const std::string& host) { return host.find(':') != std::string::npos ? "[" + host + "]" : host; }

}  // namespace

std::string ListenAddress::Text() const { return host_text(host) + ":" + std::to_string(port); }

std::string BrokerAddress::Url() const {
    return std::string(tls ? "mqtts://" : "mqtt://") + host_text(host) + ":" + std::to_string(port);
}

std::string TcpAddress::Text() const { return host_text(host) + ":" + port; }

std::string WebUrl::HostHeader() const {
    return host_text(host) + (port == (tls ? "443" : "80") ? "" : ":" + port);
}

std::string WebUrl::Shown() const {
    return std::string(tls ? "https://" : "http://") + host_text(host) + ":" + port + (target == "/" ? "/" : "/…");
}

namespace {

// The URI's parts as libpq reads them; throws std::invalid_argument with
// libpq's own words for one it cannot read.
std::map<std::string, std::string> central_uri_parts(const std::string& uri) {
    if (uri.rfind("postgresql://", 0) != 0 && uri.rfind("postgres://", 0) != 0) {
        throw std::invalid_argument("must be a PostgreSQL URI, postgresql://USER@HOST[:PORT]/DATABASE");
    }
    char* error = nullptr;
    const std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(PQconninfoParse(uri.c_str(), &error),
                                                                                 PQconninfoFree);
    if (!options) {
        std::string why = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        while (!why.empty() && why.back() == '\n') why.pop_back();
        throw std::invalid_argument(why);
    }
    std::map<std::string, std::string> parts;
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val != nullptr) parts[o->keyword] = o->val;
    }
    return parts;
}

}  // namespace

std::string central_uri_problem(const std::string& uri) {
    try {
        if (central_uri_parts(uri).count("password") != 0) {
            return "carries a password, which would be read by whoever reads the command line or the configuration: "
                   "leave it out and give it in a password file (the URI's passfile=FILE, or PGPASSFILE) or in "
                   "PGPASSWORD";
        }
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

std::string central_uri_text(const std::string& uri) {
    std::map<std::string, std::string> parts;
    try {
        parts = central_uri_parts(uri);
    } catch (const std::invalid_argument&) {
        return "the central history";
    }
    const std::string host = parts.count("host") != 0 ? parts["host"] : parts.count("hostaddr") != 0 ? parts["hostaddr"] : "";
    std::string text = host.empty() ? "local socket" : host_text(host);
    if (parts.count("port") != 0) text += ":" + parts["port"];
    if (parts.count("dbname") != 0) text += "/" + parts["dbname"];
    return text;
}
