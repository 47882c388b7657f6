#include "host/mqtt/mqtt_settings.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "host/config/endpoints.h"

namespace {

void read_login(const std::string& path, MqttSettings& settings) {
    if (path.empty()) {
        const char* user = std::getenv("QV5810_MQTT_USERNAME");
        const char* password = std::getenv("QV5810_MQTT_PASSWORD");
        settings.username = user != nullptr ? user : "";
        settings.password = password != nullptr ? password : "";
        return;
    }
    std::ifstream in(path);
    if (!in) throw std::runtime_error("--mqtt-login: cannot read " + path);
    std::getline(in, settings.username);
    std::getline(in, settings.password);
    for (std::string* text : {&settings.username, &settings.password}) {
        if (!text->empty() && text->back() == '\r') text->pop_back();
    }
    if (settings.username.empty()) throw std::runtime_error("--mqtt-login: " + path + " has no user name on its first line");
}

std::string host_name() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// A digest of the machine id, which outlives a renamed host (whose name
// would change every id in Home Assistant), and of the prefix, which keeps
// apart two runs of one machine. A cloned system keeps its machine id:
// there --mqtt-site tells the two apart.
std::string made_up_site(const std::string& prefix) {
    std::ifstream in("/etc/machine-id");
    std::string machine;
    std::getline(in, machine);
    std::uint32_t digest = 2166136261u;  // FNV-1a
    for (const char c : machine + "\n" + prefix) digest = (digest ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(digest));
    return hex;
}

}  // namespace

MqttSettings mqtt_settings_from(const MqttOptions& options) {
    MqttSettings settings;
    const BrokerAddress& broker = *options.broker;
    settings.tls = broker.tls;
    settings.host = broker.host;
    settings.port = broker.port;
    settings.ca_file = options.ca_file;
    settings.prefix = options.prefix;
    settings.discovery = options.discovery;
    settings.most_queued = options.queue;
    settings.client_id = options.client_id;
    if (settings.client_id.empty()) settings.client_id = "qmxhost-" + host_name() + "-" + std::to_string(getpid());
    settings.identity.site = discovery_site(options.site.empty() ? made_up_site(options.prefix) : options.site);
    settings.identity.manufacturer = options.manufacturer;
    read_login(options.login_file, settings);
    return settings;
}
