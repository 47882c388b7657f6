// How the bench host reaches its broker: the broker's address, the
// client's name, the login (from a file or the environment, never the
// command line), the topic prefix and the queue.
#pragma once

#include <cstddef>
#include <string>

#include "host/config/settings.h"
#include "host/mqtt/ha_discovery.h"

struct MqttSettings {
    bool tls = false;     // mqtts://
    std::string ca_file;  // certificates the broker's must chain to; empty: the system's
    std::string host;
    int port = 1883;
    std::string client_id;  // each meter's connection adds -DATA_ID
    std::string username, password;
    std::string prefix;
    bool discovery = false;
    DiscoveryIdentity identity;  // the host adds its version and page
    std::size_t most_queued = 0;  // kept while disconnected, the newest
};

// The settings' broker options (with a broker) made ready to connect: the login read (from the file named, else QV5810_MQTT_USERNAME and
// QV5810_MQTT_PASSWORD) and a client id made up when none is given
// (qmxhost-HOSTNAME-PID), under the run's site id (host/config/site_id.h).
// Throws std::runtime_error for a login file it cannot read.
MqttSettings mqtt_settings_from(const MqttOptions& options, const std::string& site);
