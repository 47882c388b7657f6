// Where the bench host listens and what it connects to, as people write
// them in the settings: the live page's [ADDR:]PORT and a broker's URL.
#pragma once

#include <string>

struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
};

// "ADDR:PORT", "[IPv6]:PORT", ":PORT" or "PORT" (loopback); throws
// std::invalid_argument saying what is wrong.
ListenAddress parse_listen_address(const std::string& text);
bool is_loopback(const std::string& host);

struct BrokerAddress {
    bool tls = false;  // mqtts://
    std::string host;
    int port = 1883;
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883 and 8883 by default);
// throws std::invalid_argument saying what is wrong.
BrokerAddress parse_broker_url(const std::string& url);

// A topic prefix must be a topic's beginning without wildcards, ending in
// "/": what is wrong with it, or "".
std::string mqtt_prefix_problem(const std::string& prefix);
