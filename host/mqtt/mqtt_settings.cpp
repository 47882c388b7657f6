#include "host/mqtt/mqtt_settings.h"

#include "host/common/host_address.h"

#include <unistd.h>

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

}  // namespace

MqttSettings mqtt_settings_from(const MqttOptions& options, const std::string& site) {
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
    settings.identity.site = site;
    settings.identity.manufacturer = options.manufacturer;
    read_login(options.login_file, settings);
    return settings;
}
