// Where the bench host listens and what it connects to, as people write
// them in the settings: the live page's and the Modbus server's
// [ADDR:]PORT, a Modbus TCP server's HOST:PORT and a broker's URL. Each is
// parsed once, where it is read, and kept as its parts.
#pragma once

#include <string>

struct ListenAddress {
    std::string host = "127.0.0.1";  // when the text names none: loopback
    int port = 0;  // 0: any free port

    std::string Text() const;  // "127.0.0.1:8080", "[::1]:8080"
};

// "ADDR:PORT", "[IPv6]:PORT", ":PORT" or "PORT" (loopback); throws
// std::invalid_argument saying what is wrong.
ListenAddress parse_listen_address(const std::string& text);
bool is_loopback(const std::string& host);

struct BrokerAddress {
    bool tls = false;  // mqtts://
    std::string host;
    int port = 1883;

    std::string Url() const;  // "mqtt://HOST:PORT"
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883 and 8883 by default);
// throws std::invalid_argument saying what is wrong.
BrokerAddress parse_broker_url(const std::string& url);

// A topic prefix must be a topic's beginning without wildcards, ending in
// "/": what is wrong with it, or "".
std::string mqtt_prefix_problem(const std::string& prefix);

// A web hook's address: http:// or https://, a host, a port and the rest
// as the request's target. What follows the host may hold a secret (a
// chat's hook path, a push service's token): Shown() leaves it out.
struct WebUrl {
    bool tls = false;
    std::string host;  // without brackets
    std::string port;  // decimal
    std::string target = "/";  // path and query

    std::string Shown() const;       // "https://hooks.example.com:443/…"
    std::string HostHeader() const;  // "hooks.example.com", "[2001:db8::7]:8443": the port only when not the scheme's
};

// Throws std::invalid_argument with what is wrong.
WebUrl parse_web_url(const std::string& url);

// Where a Modbus TCP server or gateway listens: HOST:PORT, a name or an
// IPv4 address, or an IPv6 address in brackets ([fe80::1]:502).
struct TcpAddress {
    std::string host;  // without the brackets
    std::string port;  // decimal, 1 to 65535

    std::string Text() const;  // as it is written, brackets and all
};

// Throws std::invalid_argument with what is wrong.
TcpAddress parse_tcp_address(const std::string& text);

// A central history's PostgreSQL URI (postgresql://USER@HOST[:PORT]/DB?…),
// as libpq reads it: what is wrong with it, or "". One that carries a
// password is refused: a command line and a configuration are read by
// more people than the password should be.
std::string central_uri_problem(const std::string& uri);
// The URI as people name the database in messages: host, port and
// database, never a password.
std::string central_uri_text(const std::string& uri);
