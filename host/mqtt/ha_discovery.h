// Home Assistant's MQTT discovery for one meter: every quantity as a sensor
// with the device class, state class and unit Home Assistant files it
// under (so that the energies reach its Energy dashboard), every alarm rule
// as a problem binary_sensor, one device block and one origin block.
// All of it sits under homeassistant/<component>/qv5810_<site>/, so that
// two hosts whose meters share data ids keep apart, and so that one
// subscription finds what this host published in an earlier run.
#pragma once

#include <string>
#include <vector>

#include "host/config/meter_config.h"

struct DiscoveryIdentity {
    std::string site;               // letters, digits, - and _ only (host/config/site_id.h)
    std::string version;            // qmxhost's: the origin's and the device's software version
    std::string manufacturer;       // empty: left out
    std::string configuration_url;  // the live page when it is served; empty: left out
    std::string host_availability;  // the host's own availability topic (its last will)
};

struct DiscoveryMessage {
    std::string topic, payload;  // published retained
};

// What one meter tells Home Assistant, its topics under `base` (PREFIX<meter>/).
// The rules are told only to a meter whose device judges them. Every
// entity is available while both the host and the meter are.
std::vector<DiscoveryMessage> discovery_messages(const DiscoveryIdentity& identity, const DeviceConfig& meter,
                                                 const std::string& base);

// Every config this site has published, whichever meter, for a subscription.
std::string discovery_subscription(const std::string& site);
// Whether a config topic is this site's.
bool is_site_config(const std::string& site, const std::string& topic);

// Home Assistant says it (re)started on this topic with "online".
inline constexpr const char* kHomeAssistantStatus = "homeassistant/status";
