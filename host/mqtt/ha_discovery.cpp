#include "host/mqtt/ha_discovery.h"

#include <cctype>

#include "host/common/json_text.h"
#include "host/meter_view/alarm_catalogue.h"
#include "host/meter_view/meter_readings.h"

namespace {

// Home Assistant's sensor device class and state class for each unit the
// meter reports in. A running total (the energies) is total_increasing,
// which the Energy dashboard requires; the rest are measurements.
struct UnitClass {
    const char* unit;
    const char* device_class;
};

constexpr UnitClass kUnitClasses[] = {
    {"V", "voltage"},          {"A", "current"},   {"kW", "power"},      {"kvar", "reactive_power"},
    {"kVA", "apparent_power"}, {"", "power_factor"}, {"Hz", "frequency"}, {"Wh", "energy"},
    {"varh", "reactive_energy"},
};

const char* device_class_of(const MeterReading& reading) {
    for (const UnitClass& known : kUnitClasses) {
        if (std::string(known.unit) == reading.unit) return known.device_class;
    }
    return nullptr;  // a unit Home Assistant has no class for: a plain sensor
}

std::string node_of(const std::string& site) { return "qv5810_" + site; }

// An entity id's object part as Home Assistant takes it: lower-case
// letters, digits and single underscores, none at either end.
std::string entity_slug(const std::string& text) {
    std::string slug;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const char kept = std::isalnum(byte) != 0 && byte < 0x80 ? static_cast<char>(std::tolower(byte)) : '_';
        if (kept == '_' && (slug.empty() || slug.back() == '_')) continue;
        slug += kept;
    }
    while (!slug.empty() && slug.back() == '_') slug.pop_back();
    return slug;
}

std::string capitalised(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

Json::Value device_block(const DiscoveryIdentity& identity, const DeviceConfig& meter) {
    const std::string id = node_of(identity.site) + "_" + std::to_string(meter.data_id);
    Json::Value device;
    device["identifiers"].append(id);
    device["name"] = meter.name.empty() ? "QV5810 " + std::to_string(meter.data_id) : meter.name;
    device["model"] = "QV5810";
    // No serial_number: the meter reports none, and the data id is ours.
    device["sw_version"] = identity.version;
    if (!identity.manufacturer.empty()) device["manufacturer"] = identity.manufacturer;
    if (!identity.configuration_url.empty()) {
        device["configuration_url"] = identity.configuration_url + "?device=" + std::to_string(meter.data_id);
    }
    return device;
}

}  // namespace

std::vector<DiscoveryMessage> discovery_messages(const DiscoveryIdentity& identity, const DeviceConfig& meter,
                                                 const std::string& base) {
    const std::string node = node_of(identity.site);
    const std::string id = std::to_string(meter.data_id);
    Json::Value common;
    // A host killed outright says offline through its last will: every
    // meter of it goes with it.
    Json::Value host, own;
    host["topic"] = identity.host_availability;
    own["topic"] = base + "availability";
    common["availability"].append(host);
    common["availability"].append(own);
    common["availability_mode"] = "all";
    common["device"] = device_block(identity, meter);
    common["origin"]["name"] = "qmxhost";
    common["origin"]["sw_version"] = identity.version;
    if (!identity.configuration_url.empty()) common["origin"]["support_url"] = identity.configuration_url;

    const bool judges_rules = setting_evaluates_alarms(meter.setting);
    std::vector<DiscoveryMessage> messages;
    const auto add = [&](const char* component, const std::string& object, Json::Value config) {
        for (const std::string& key : common.getMemberNames()) config[key] = common[key];
        config["unique_id"] = node + "_" + id + "_" + object;
        config["default_entity_id"] = std::string(component) + "." + entity_slug(node + "_" + id + "_" + object);
        messages.push_back({"homeassistant/" + std::string(component) + "/" + node + "/" + id + "_" + object + "/config",
                            compact_json(config)});
    };
    for (const MeterReading& reading : kMeterReadings) {
        Json::Value config;
        config["name"] = capitalised(reading.label);
        config["state_topic"] = base + "state";
        config["value_template"] = std::string("{{ value_json.values.") + reading.column + " }}";
        if (const char* device_class = device_class_of(reading)) config["device_class"] = device_class;
        config["state_class"] = reading.counter ? "total_increasing" : "measurement";
        if (*reading.unit != '\0') config["unit_of_measurement"] = reading.unit;
        config["suggested_display_precision"] = reading_decimals(reading);
        // A meter's 38 readings would bury the few people watch: the
        // headline ones in front, the per-phase powers among the
        // diagnostics, the rest there to be switched on.
        if (reading.prominence != Prominence::headline) config["entity_category"] = "diagnostic";
        if (reading.prominence == Prominence::on_request) config["enabled_by_default"] = false;
        add("sensor", reading.column, config);
    }
    for (const AlarmRuleView& rule : kAlarmCatalogue) {
        if (!judges_rules) break;
        Json::Value config;
        config["name"] = capitalised(rule.Label());
        config["state_topic"] = base + "alarms/" + rule.key;
        config["value_template"] = "{{ 'ON' if value_json.up else 'OFF' }}";
        config["device_class"] = "problem";
        config["entity_category"] = "diagnostic";
        config["enabled_by_default"] = false;
        add("binary_sensor", std::string("alarm_") + rule.key, config);
    }
    return messages;
}

std::string discovery_subscription(const std::string& site) { return "homeassistant/+/" + node_of(site) + "/+/config"; }

bool is_site_config(const std::string& site, const std::string& topic) {
    return topic.rfind("homeassistant/", 0) == 0 && topic.find("/" + node_of(site) + "/") != std::string::npos;
}
