#include "host/mqtt/mqtt_sink.h"

#include <cmath>
#include <stdexcept>

#include "host/core/write_request.h"
#include "host/common/json_text.h"
#include "host/meter_view/meter_readings.h"
#include "host/mqtt/ha_discovery.h"
#include "host/mqtt/mqtt_link.h"

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

BrokerLinkFactory mosquitto_links() {
    return [](const MqttSettings& settings, const std::string& will_topic, const std::string& online,
              const std::string& will_payload) -> std::unique_ptr<BrokerLink> {
        return std::make_unique<MqttLink>(settings, will_topic, online, will_payload);
    };
}

MqttSink::MqttSink(const MqttSettings& settings, const std::vector<DeviceConfig>& meters, WriteInbox* inbox,
                   const BrokerLinkFactory& make_link)
    : settings_(settings), inbox_(inbox) {
    std::map<std::string, std::uint32_t> bases;
    for (const DeviceConfig& config : meters) {
        const std::string base = settings_.prefix + mqtt_meter_topic(config.name, config.data_id) + "/";
        if (const auto taken = bases.emplace(base, config.data_id); !taken.second) {
            throw std::runtime_error("--mqtt: devices " + std::to_string(taken.first->second) + " and " +
                                     std::to_string(config.data_id) + " would both publish under " + base +
                                     "; give them names that differ");
        }
        Meter& meter = meters_[config.data_id];
        meter.config = &config;
        meter.base = base;
        MqttSettings own = settings_;
        own.client_id = settings_.client_id + "-" + std::to_string(config.data_id);
        meter.link = make_link(own, base + "availability", "online", "offline");
        meter.link->Subscribe(base + "set/registers",
                              [this, &meter](const std::string&, const std::string& payload, bool retained) {
                                  WriteRequested(meter, payload, retained);
                              });
        if (!settings_.discovery) continue;
        meter.discovery = discovery_messages(settings_.identity, config, base);
        for (const DiscoveryMessage& message : meter.discovery) discovered_.insert(message.topic);
        meter.link->Subscribe(kHomeAssistantStatus, [this, &meter](const std::string&, const std::string& payload, bool) {
            HomeAssistantSaid(meter, payload);
        });
        PublishDiscovery(meter);
    }
    // One link is enough to find what an earlier run left behind.
    if (settings_.discovery && !meters_.empty()) {
        BrokerLink& link = *meters_.begin()->second.link;
        link.Subscribe(discovery_subscription(settings_.identity.site),
                       [this, &link](const std::string& topic, const std::string& payload, bool) {
                           TakeBackIfGone(link, topic, payload);
                       });
    }
    // Only now: a request may arrive as soon as a link is up, and finds every meter.
    for (auto& [id, meter] : meters_) meter.link->Start();
}

MqttSink::Meter* MqttSink::Find(std::uint32_t data_id) {
    const auto found = meters_.find(data_id);
    return found == meters_.end() ? nullptr : &found->second;
}

// On the link's thread: the request is checked here and carried out by
// the poll loop, whose answer goes out on set/result.
void MqttSink::WriteRequested(Meter& meter, const std::string& payload, bool retained) {
    const std::uint32_t data_id = meter.config->data_id;
    const std::string result_topic = meter.base + "set/result";
    BrokerLink& link = *meter.link;
    const auto refuse = [&](const std::string& why) {
        link.Publish(result_topic, compact_json(error_result(data_id, why)), false);
    };
    // A retained request is one asked for long ago, delivered anew at each start.
    if (retained) return refuse("a retained write request is not carried out; publish it without the retain flag");
    if (inbox_ == nullptr) return refuse("writes are off: start qmxhost with --allow-writes");
    if (payload.size() > kMostRequest) return refuse("the request is larger than " + std::to_string(kMostRequest) + " bytes");
    std::string problem;
    const std::vector<std::uint16_t> words = parse_write_request(payload, problem);
    if (words.empty()) return refuse(problem);
    const bool taken = inbox_->Submit(WriteRequest{data_id, words}, [&link, result_topic, words, data_id](std::int32_t status) {
        Json::Value result = write_result_json(words, status);
        result["device"] = data_id;
        link.Publish(result_topic, compact_json(result), false);
    });
    if (!taken) refuse("too many writes are waiting; try again later");
}

void MqttSink::PublishDiscovery(const Meter& meter) {
    for (const DiscoveryMessage& message : meter.discovery) meter.link->Publish(message.topic, message.payload, true);
}

// On the link's thread. A broker restarted without persistence has lost
// every retained config and outcome; Home Assistant's birth message is the
// moment to tell them again.
void MqttSink::HomeAssistantSaid(Meter& meter, const std::string& payload) {
    if (payload != "online") return;
    PublishDiscovery(meter);
    meter.alarms_published = false;
}

// On the link's thread: a config this site published for a meter or an
// entity that this run does not have is emptied, which removes it from
// Home Assistant. An empty payload is such a removal already.
void MqttSink::TakeBackIfGone(BrokerLink& link, const std::string& topic, const std::string& payload) {
    if (payload.empty() || !is_site_config(settings_.identity.site, topic) || discovered_.count(topic) != 0) return;
    link.Publish(topic, "", true);
}

void MqttSink::PublishAlarm(const Meter& meter, const CycleReport& report, const AlarmReport& alarm, bool up) {
    Json::Value message;
    message["utc"] = report.utc;
    message["key"] = alarm.alarm_key;
    message["text"] = alarm.alarm_text;
    message["level"] = alarm.level;
    const auto threshold = meter.config->thresholds.find(alarm.alarm_key);
    message["threshold"] =
        threshold == meter.config->thresholds.end() ? Json::Value() : Json::Value(threshold->second.value);
    message["value"] = alarm.value_text;
    message["up"] = up;
    message["cycle"] = report.cycle;
    meter.link->Publish(meter.base + "alarms/" + alarm.alarm_key, compact_json(message), true);
}

void MqttSink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    Meter* meter = Find(report->meter->data_id);
    if (meter == nullptr || report->kind != CycleKind::poll) return;
    Json::Value state;
    state["utc"] = report->utc;
    state["device"] = meter->config->data_id;
    state["name"] = meter->config->name;
    state["cycle"] = report->cycle;
    for (const MeterReading& reading : kMeterReadings) {
        if (const auto value = decode_reading(report->record, reading)) {
            state["values"][reading.column] = rounded(*value, reading_decimals(reading));
        }
    }
    state["snapshot"] = report->snapshot;
    meter->link->Publish(meter->base + "state", compact_json(state), true);
    // The retained alarm topics say every rule's outcome once, then its changes.
    if (!meter->alarms_published.exchange(true)) {
        for (const AlarmReport& alarm : report->alarms) PublishAlarm(*meter, *report, alarm, alarm.state);
        return;
    }
    for (const AlarmChange& change : report->alarm_changes) PublishAlarm(*meter, *report, change.report, change.up);
}

void MqttSink::BackingOff(const BackoffReport& report) {
    // The host is up but the meter does not answer: what it published is old.
    if (Meter* meter = Find(report.meter->data_id)) meter->link->Publish(meter->base + "availability", "offline", true);
}

void MqttSink::Recovered(const DeviceConfig& config, int) {
    if (Meter* meter = Find(config.data_id)) meter->link->Publish(meter->base + "availability", "online", true);
}

std::vector<std::string> MqttSink::TakeNotices() {
    std::vector<std::string> taken;
    for (auto& [id, meter] : meters_) {
        for (const std::string& notice : meter.link->TakeNotices()) {
            taken.push_back("device " + std::to_string(id) + ": " + notice);
        }
    }
    taken.insert(taken.end(), notices_.begin(), notices_.end());
    notices_.clear();
    return taken;
}

// Once for each line: its meters' counts.
void MqttSink::Finished(const RunSummary& summary) {
    for (const MeterSummary& polled : summary.meters) {
        const std::uint32_t id = polled.meter->data_id;
        Meter* found = Find(id);
        if (found == nullptr) continue;
        Meter& meter = *found;
        const std::size_t unsent = meter.link->queued();
        notices_.push_back("device " + std::to_string(id) + ": mqtt: " + std::to_string(meter.link->published()) +
                           " messages published, " + std::to_string(meter.link->dropped()) +
                           " dropped while the broker was away" +
                           (unsent > 0 ? ", " + std::to_string(unsent) + " never sent" : ""));
    }
}
