// Where and how the bench host publishes: the broker's URL, the client's
// name, the login (from a file or the environment, never the command line)
// and the topic prefix.
#pragma once

#include <cstddef>
#include <string>

struct MqttSettings {
    bool tls = false;      // mqtts://
    std::string ca_file;   // certificates the broker's must chain to; empty: the system's
    std::string host;
    int port = 1883;
    std::string client_id;  // empty: qmxhost-<pid>
    std::string username, password;
    std::string prefix = "qv5810/";
    bool discovery = false;
    std::size_t most_queued = 1000;  // kept while disconnected, newest first
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883 and 8883 by default) into
// `settings`; throws std::invalid_argument saying what is wrong.
void parse_mqtt_url(const std::string& url, MqttSettings& settings);

// The login: from `path` ("user" on the first line, "password" on the
// second) when one is named, else QV5810_MQTT_USERNAME and
// QV5810_MQTT_PASSWORD. Throws std::runtime_error for a file it cannot read.
void read_mqtt_login(const std::string& path, MqttSettings& settings);

// A prefix must be a topic's beginning without wildcards, ending in "/".
std::string mqtt_prefix_problem(const std::string& prefix);
