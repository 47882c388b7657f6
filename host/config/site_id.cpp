#include "host/config/site_id.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>

std::string machine_id(const std::string& path) {
    std::ifstream in(path);
    std::string machine;
    std::getline(in, machine);
    return machine;
}

std::string site_text(const std::string& text) {
    std::string site;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        site += std::isalnum(byte) != 0 && byte < 0x80 ? static_cast<char>(std::tolower(byte)) : c == '-' ? '-' : '_';
    }
    return site;
}

// FNV-1a of the machine id, a line feed and the prefix: what every release
// since the site id made, so that Home Assistant's ids stay.
std::string made_up_site(const std::string& machine, const std::string& prefix) {
    std::uint32_t digest = 2166136261u;
    for (const char c : machine + "\n" + prefix) digest = (digest ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(digest));
    return hex;
}

std::string run_site(const HostSettings& settings, const std::string& machine) {
    return site_text(settings.site.empty() ? made_up_site(machine, settings.mqtt.prefix) : settings.site);
}
