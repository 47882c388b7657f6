#include "host/mqtt/mqtt_settings.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

void parse_mqtt_url(const std::string& url, MqttSettings& settings) {
    const std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos) throw std::invalid_argument("expected mqtt://HOST[:PORT], not \"" + url + "\"");
    const std::string scheme = url.substr(0, scheme_end);
    if (scheme != "mqtt" && scheme != "mqtts") {
        throw std::invalid_argument("the scheme must be mqtt:// or mqtts://, not " + scheme + "://");
    }
    settings.tls = scheme == "mqtts";
    std::string rest = url.substr(scheme_end + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/@?#") != std::string::npos) {
        throw std::invalid_argument("give only the broker's host and port (a login goes in --mqtt-login or the "
                                    "environment), not \"" + url + "\"");
    }
    std::string port = settings.tls ? "8883" : "1883";
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
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
        throw std::invalid_argument("the broker's port must be 1…65535, not \"" + port + "\"");
    }
    settings.host = host;
    settings.port = std::stoi(port);
}

void read_mqtt_login(const std::string& path, MqttSettings& settings) {
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

std::string mqtt_prefix_problem(const std::string& prefix) {
    if (prefix.empty() || prefix.back() != '/') return "the topic prefix must end in /";
    if (prefix.find_first_of("+#") != std::string::npos) return "the topic prefix must not hold + or #";
    if (prefix.front() == '/') return "the topic prefix must not begin with /";
    return "";
}
