#include "host/mqtt/mqtt_sink.h"

#include <stdexcept>

#include "host/common/json_text.h"
#include "host/config/write_request.h"
#include "host/mqtt/ha_discovery.h"
#include "host/mqtt/mqtt_link.h"
#include "host/report/report_json.h"

namespace {

Json::Value error_result(std::uint32_t data_id, const std::string& text) {
    Json::Value result;
    result["device"] = data_id;
    result["error"] = text;
    return result;
}

constexpr const char* kWriteTopic = "set/registers";

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
    return [](const MqttSettings& settings, const LinkWill& will,
              std::function<void(const std::string&)> notice) -> std::unique_ptr<BrokerLink> {
        return std::make_unique<MqttLink>(settings, will, std::move(notice));
    };
}

MqttSink::MqttSink(const MqttSettings& settings, const std::vector<LineInfo>& lines, WriteInbox* inbox,
                   const BrokerLinkFactory& make_link, Notices& notices)
    : settings_(settings), inbox_(inbox), notices_(notices) {
    const std::string host_base = settings_.prefix + kMqttHostTopic + "/";
    DiscoveryIdentity identity = settings_.identity;
    identity.host_availability = host_base + "availability";
    for (const LineInfo& line : lines) {
        for (const DeviceConfig* config : line.meters) {
            const std::string base = settings_.prefix + mqtt_meter_topic(config->name, config->data_id) + "/";
            if (base == host_base) {
                throw std::runtime_error("--mqtt: device " + std::to_string(config->data_id) + " would publish under " +
                                         base + ", where qmxhost says whether it is up; give it another name");
            }
            if (const auto taken = by_base_.find(base); taken != by_base_.end()) {
                throw std::runtime_error("--mqtt: devices " + std::to_string(taken->second->config->data_id) + " and " +
                                         std::to_string(config->data_id) + " would both publish under " + base +
                                         "; give them names that differ");
            }
            Meter& meter = meters_[config->data_id];
            meter.config = config;
            meter.base = base;
            by_base_[base] = &meter;
            if (settings_.discovery) {
                meter.discovery = discovery_messages(identity, *config, base);
                for (const DiscoveryMessage& message : meter.discovery) discovered_.insert(message.topic);
            }
        }
    }
    link_ = make_link(settings_, LinkWill{identity.host_availability}, [this](const std::string& text) {
        notices_.Say(text);
    });
    link_->Subscribe(settings_.prefix + "+/" + kWriteTopic, [this](const std::string& topic, const std::string& payload,
                                                                    bool retained) {
        WriteRequested(topic, payload, retained);
    });
    if (settings_.discovery) {
        link_->Subscribe(kHomeAssistantStatus,
                         [this](const std::string&, const std::string& payload, bool) { HomeAssistantSaid(payload); });
        link_->Subscribe(discovery_subscription(settings_.identity.site),
                         [this](const std::string& topic, const std::string& payload, bool) {
                             TakeBackIfGone(topic, payload);
                         });
    }
    for (auto& [id, meter] : meters_) {
        // Until its first completed cycle: a meter that does not answer never
        // shows online, whatever an earlier run left retained.
        link_->Publish(meter.base + "availability", "offline", true);
        PublishDiscovery(meter);
    }
}

MqttSink::Meter* MqttSink::Find(std::uint32_t data_id) {
    const auto found = meters_.find(data_id);
    return found == meters_.end() ? nullptr : &found->second;
}

// On the link's thread: the request is checked here and carried out by
// the poll loop, whose answer goes out on set/result.
void MqttSink::WriteRequested(const std::string& topic, const std::string& payload, bool retained) {
    const auto found = by_base_.find(topic.substr(0, topic.size() - std::string(kWriteTopic).size()));
    if (found == by_base_.end()) return;  // no meter of ours
    const Meter& meter = *found->second;
    const std::uint32_t data_id = meter.config->data_id;
    const std::string result_topic = meter.base + "set/result";
    BrokerLink& link = *link_;
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
    const bool taken = inbox_->Submit(WriteRequest{data_id, words, "MQTT (" + topic + ")"}, [&link, result_topic, words, data_id](std::int32_t status) {
        Json::Value result = write_result_json(words, status);
        result["device"] = data_id;
        link.Publish(result_topic, compact_json(result), false);
    });
    if (!taken) refuse("too many writes are waiting; try again later");
}

void MqttSink::PublishDiscovery(const Meter& meter) {
    for (const DiscoveryMessage& message : meter.discovery) link_->Publish(message.topic, message.payload, true);
}

// On the link's thread. A broker restarted without persistence has lost
// every retained config and outcome; Home Assistant's birth message is the
// moment to tell them again.
void MqttSink::HomeAssistantSaid(const std::string& payload) {
    if (payload != "online") return;
    for (auto& [id, meter] : meters_) {
        PublishDiscovery(meter);
        meter.alarms_published = false;
    }
}

// On the link's thread: a config this site published for a meter or an
// entity that this run does not have is emptied, which removes it from
// Home Assistant. An empty payload is such a removal already.
void MqttSink::TakeBackIfGone(const std::string& topic, const std::string& payload) {
    if (payload.empty() || !is_site_config(settings_.identity.site, topic) || discovered_.count(topic) != 0) return;
    link_->Publish(topic, "", true);
    // The retained values it showed go with it, as the config names them;
    // a topic of a meter still here stays.
    const std::optional<Json::Value> parsed = parse_json_object(payload, 16);
    if (!parsed) return;
    const Json::Value& config = *parsed;
    std::vector<std::string> topics{config["state_topic"].asString()};
    for (const Json::Value& availability : config["availability"]) topics.push_back(availability["topic"].asString());
    for (const std::string& shown : topics) {
        const std::size_t alarms = shown.find("/alarms/");
        const std::string base = shown.substr(0, (alarms != std::string::npos ? alarms : shown.rfind('/')) + 1);
        if (base.size() <= settings_.prefix.size() || base.rfind(settings_.prefix, 0) != 0) continue;
        if (base == settings_.prefix + kMqttHostTopic + "/" || by_base_.count(base) != 0) continue;
        if (emptied_.insert(shown).second) link_->Publish(shown, "", true);
    }
}

void MqttSink::PublishAlarm(const Meter& meter, const CycleReport& report, const AlarmOutcome& outcome, bool up) {
    Json::Value message = alarm_json(outcome, up);
    message["utc"] = report.utc;
    message["cycle"] = report.cycle;
    // The whole number as the device compared it, as earlier releases sent it.
    message["value_text"] = outcome.value_text;
    link_->Publish(meter.base + "alarms/" + outcome.key, compact_json(message), true);
}

void MqttSink::Available(Meter& meter, bool online) {
    if (meter.online == online) return;
    meter.online = online;
    link_->Publish(meter.base + "availability", online ? "online" : "offline", true);
}

void MqttSink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    Meter* meter = Find(report->meter->data_id);
    if (meter == nullptr || report->kind != CycleKind::poll) return;
    Json::Value state;
    state["utc"] = report->utc;
    state["device"] = meter->config->data_id;
    state["name"] = meter->config->name;
    state["line"] = meter->config->line;
    state["slave"] = meter->config->slave;
    state["cycle"] = report->cycle;
    state["values"] = Json::Value(Json::objectValue);
    for (const Quantity& quantity : report->quantities) state["values"][quantity.reading->column] = quantity.Rounded();
    state["snapshot"] = report->snapshot;
    link_->Publish(meter->base + "state", compact_json(state), true);
    Available(*meter, true);
    // The retained alarm topics say every rule's outcome once, then its changes.
    if (!meter->alarms_published.exchange(true)) {
        for (const AlarmOutcome& outcome : report->alarms) PublishAlarm(*meter, *report, outcome, outcome.up);
        return;
    }
    for (const AlarmChange& change : report->alarm_changes) PublishAlarm(*meter, *report, change.outcome, change.up);
}

void MqttSink::BackingOff(const BackoffReport& report) {
    // The host is up but the meter does not answer: what it published is old.
    if (Meter* meter = Find(report.meter->data_id)) Available(*meter, false);
}

void MqttSink::Recovered(const DeviceConfig& config, int) {
    if (Meter* meter = Find(config.data_id)) Available(*meter, true);
}

// Changes let go: every rule's outcome is told again with the next cycle.
void MqttSink::Missed(const Gap&) {
    for (auto& [id, meter] : meters_) meter.alarms_published = false;
}

void MqttSink::Finished() {
    // Said offline before the link says the host is: the meters went with it.
    for (auto& [id, meter] : meters_) Available(meter, false);
    const std::size_t unsent = link_->queued();
    notices_.Say("mqtt: " + std::to_string(link_->published()) + " messages published, " +
                 std::to_string(link_->dropped()) + " dropped while the broker was away" +
                 (unsent > 0 ? ", " + std::to_string(unsent) + " never sent" : ""));
}
