#include "host/mqtt/mqtt_sink.h"

#include <cmath>
#include <stdexcept>

#include "alarms/alarm_rules.h"
#include "framework/qmx_vdevice.h"
#include "host/live/live_json.h"
#include "host/qmxhost/meter_readings.h"
#include "host/qmxhost/write_request.h"

namespace {

Json::Value error_result(std::uint32_t data_id, const std::string& text) {
    Json::Value result;
    result["device"] = data_id;
    result["error"] = text;
    return result;
}

// Rounded to the meter's decimals, so that 230.1 is sent as 230.1.
double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

struct Discovered {
    const char* column;
    const char* device_class;  // Home Assistant's
    const char* state_class;
};

// What a dashboard shows first.
constexpr Discovered kDiscovered[] = {
    {"phase_voltage_1_v", "voltage", "measurement"}, {"phase_voltage_2_v", "voltage", "measurement"},
    {"phase_voltage_3_v", "voltage", "measurement"}, {"current_1_a", "current", "measurement"},
    {"current_2_a", "current", "measurement"},       {"current_3_a", "current", "measurement"},
    {"total_active_power_kw", "power", "measurement"}, {"total_power_factor", "power_factor", "measurement"},
    {"frequency_hz", "frequency", "measurement"},    {"active_energy_pos_wh", "energy", "total_increasing"},
};

}  // namespace

std::string mqtt_meter_topic(const std::string& name, std::uint32_t data_id) {
    if (name.empty()) return std::to_string(data_id);
    // Topics are UTF-8: a name in Chinese stays itself. Only what would
    // split a topic, match as a wildcard or trouble a shell is replaced.
    std::string topic;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool replaced = c == '/' || c == '+' || c == '#' || c == ' ' || byte < 0x20 || byte == 0x7F;
        topic += replaced ? '_' : c;
    }
    return topic;
}

MqttSink::MqttSink(const MqttSettings& settings, const LiveState& live, WriteInbox* inbox, ReportSink& problems)
    : settings_(settings), live_(live), inbox_(inbox), problems_(problems) {
    std::map<std::string, std::uint32_t> bases;
    for (const LiveMeter& meter : live_.Meters()) {
        const std::string base = settings_.prefix + mqtt_meter_topic(meter.name, meter.data_id) + "/";
        if (const auto taken = bases.emplace(base, meter.data_id); !taken.second) {
            throw std::runtime_error("--mqtt: devices " + std::to_string(taken.first->second) + " and " +
                                     std::to_string(meter.data_id) + " would both publish under " + base +
                                     "; give them names that differ");
        }
        Meter& topics = meters_[meter.data_id];
        topics.base = base;
        MqttSettings own = settings_;
        own.client_id = settings_.client_id + "-" + std::to_string(meter.data_id);
        topics.link = std::make_unique<MqttLink>(own, topics.base + "availability", "online", "offline");
        const std::uint32_t id = meter.data_id;
        topics.link->Subscribe(topics.base + "set/registers",
                               [this, id](const std::string&, const std::string& payload, bool retained) {
                                   // A retained request is one asked for long ago, delivered anew at each start.
                                   if (retained) {
                                       meters_.at(id).link->Publish(
                                           meters_.at(id).base + "set/result",
                                           compact_json(error_result(id, "a retained write request is not carried out; "
                                                                         "publish it without the retain flag")),
                                           false);
                                       return;
                                   }
                                   WriteRequested(id, payload);
                               });
        if (settings_.discovery) PublishDiscovery(meter, topics);
    }
    // Only now: a request may arrive as soon as a link is up, and finds every meter.
    for (auto& [id, topics] : meters_) topics.link->Start();
}

// On the network thread: the request is checked here and carried out by
// the poll loop, whose answer goes out on set/result.
void MqttSink::WriteRequested(std::uint32_t data_id, const std::string& payload) {
    Meter& topics = meters_.at(data_id);
    const std::string result_topic = topics.base + "set/result";
    MqttLink& link = *topics.link;
    if (inbox_ == nullptr) {
        link.Publish(result_topic, compact_json(error_result(data_id, "writes are off: start qmxhost with --allow-writes")), false);
        return;
    }
    if (payload.size() > kMostRequest) {
        link.Publish(result_topic,
                     compact_json(error_result(data_id, "the request is larger than " + std::to_string(kMostRequest) + " bytes")),
                     false);
        return;
    }
    std::string problem;
    const std::vector<std::uint16_t> words = parse_write_request(payload, problem);
    if (words.empty()) {
        link.Publish(result_topic, compact_json(error_result(data_id, problem)), false);
        return;
    }
    const bool taken = inbox_->Submit(WriteRequest{data_id, words}, [&link, result_topic, words, data_id](std::int32_t status) {
        Json::Value result = write_result_json(words, status);
        result["device"] = data_id;
        link.Publish(result_topic, compact_json(result), false);
    });
    if (!taken) {
        link.Publish(result_topic, compact_json(error_result(data_id, "too many writes are waiting; try again later")), false);
    }
}

void MqttSink::PublishDiscovery(const LiveMeter& meter, Meter& topics) {
    const std::string node = "qv5810_" + std::to_string(meter.data_id);
    for (const Discovered& wanted : kDiscovered) {
        for (const MeterReading& reading : kMeterReadings) {
            if (std::string(reading.column) != wanted.column) continue;
            Json::Value config;
            config["name"] = reading.label;
            config["unique_id"] = node + "_" + reading.column;
            config["object_id"] = node + "_" + reading.column;
            config["state_topic"] = topics.base + "state";
            config["value_template"] = std::string("{{ value_json.values.") + reading.column + " }}";
            config["availability_topic"] = topics.base + "availability";
            config["device_class"] = wanted.device_class;
            config["state_class"] = wanted.state_class;
            if (*reading.unit != '\0') config["unit_of_measurement"] = reading.unit;
            config["device"]["identifiers"].append(node);
            config["device"]["name"] = meter.name.empty() ? node : meter.name;
            config["device"]["model"] = "QV5810";
            topics.link->Publish("homeassistant/sensor/" + node + "/" + reading.column + "/config", compact_json(config),
                                 true);
        }
    }
}

void MqttSink::PollStarted(const QMXVDevice&) { ReportNotices(); }

void MqttSink::CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string&) {
    const auto found = meters_.find(device.DataId());
    const std::optional<LiveMeter> meter = live_.Meter(device.DataId());
    if (found == meters_.end() || !meter) return;
    Meter& topics = found->second;
    Json::Value state;
    state["utc"] = meter->completed_utc;
    state["device"] = meter->data_id;
    state["name"] = meter->name;
    state["cycle"] = facts.cycle;
    for (const MeterReading& reading : kMeterReadings) {
        if (const auto value = decode_reading(meter->record, reading)) {
            state["values"][reading.column] = rounded(*value, reading_decimals(reading));
        }
    }
    state["snapshot"] = snapshot_object(meter->snapshot_text);
    topics.link->Publish(topics.base + "state", compact_json(state), true);

    for (const AlarmRule& rule : kAlarmRules) {
        const auto report = meter->alarms.find(rule.key);
        if (report == meter->alarms.end()) continue;
        const auto before = topics.published_up.find(rule.key);
        if (before != topics.published_up.end() && before->second == report->second.state) continue;
        topics.published_up[rule.key] = report->second.state;
        Json::Value alarm;
        alarm["utc"] = meter->completed_utc;
        alarm["key"] = rule.key;
        alarm["text"] = report->second.alarm_text;
        alarm["level"] = report->second.level;
        const auto threshold = meter->thresholds.find(rule.key);
        alarm["threshold"] = threshold == meter->thresholds.end() ? Json::Value() : Json::Value(threshold->second.value);
        alarm["value"] = report->second.value_text;
        alarm["up"] = report->second.state;
        alarm["cycle"] = facts.cycle;
        topics.link->Publish(topics.base + "alarms/" + rule.key, compact_json(alarm), true);
    }
    ReportNotices();
}

void MqttSink::BackingOff(const QMXVDevice& device, int, int, int) {
    // The host is up but the meter does not answer: what it published is old.
    if (const auto found = meters_.find(device.DataId()); found != meters_.end()) {
        found->second.link->Publish(found->second.base + "availability", "offline", true);
    }
}

void MqttSink::Recovered(const QMXVDevice& device, int) {
    if (const auto found = meters_.find(device.DataId()); found != meters_.end()) {
        found->second.link->Publish(found->second.base + "availability", "online", true);
    }
}

void MqttSink::ReportNotices() {
    for (auto& [id, topics] : meters_) {
        for (const std::string& notice : topics.link->TakeNotices()) problems_.Problem("device " + std::to_string(id) + ": " + notice);
    }
}

void MqttSink::Summary(const Json::Value&, const std::string&) {
    ReportNotices();
    for (auto& [id, topics] : meters_) {
        const std::size_t unsent = topics.link->queued();
        problems_.Problem("device " + std::to_string(id) + ": mqtt: " + std::to_string(topics.link->published()) +
                          " messages published, " + std::to_string(topics.link->dropped()) +
                          " dropped while the broker was away" +
                          (unsent > 0 ? ", " + std::to_string(unsent) + " never sent" : ""));
    }
}
