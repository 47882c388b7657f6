// The broker outlet in-process, its links replaced by ones that record what
// is published and deliver what a test sends: topics, alarm changes,
// availability, discovery and write requests. The wire itself is tested
// against a real Mosquitto in mqtt_broker_test.cpp.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <map>
#include <regex>
#include <set>
#include <utility>

#include "framework/control_codes.h"
#include "host/config/site_id.h"
#include "host/mqtt/mqtt_sink.h"
#include "tests/support/json_text.h"
#include "tests/support/meter_oracle.h"

namespace {

struct Sent {
    std::string topic, payload;
    bool retain;
    Json::Value json;
};

class FakeLink : public BrokerLink {
public:
    FakeLink(LinkWill will, std::function<void(const std::string&)> notice)
        : will_(std::move(will)), notice_(std::move(notice)) {}
    void Publish(const std::string& topic, const std::string& payload, bool retain) override {
        sent.push_back({topic, payload, retain, parse_json(payload).value_or(Json::Value())});
    }
    void Subscribe(const std::string& topic, Handler handler) override { handlers[topic] = std::move(handler); }
    void Start() override { started = true; }
    std::size_t dropped() const override { return 2; }
    std::size_t published() const override { return sent.size(); }
    std::size_t queued() override { return 0; }

    // A message from the broker on `topic`, to each subscription it matches.
    void Deliver(const std::string& topic, const std::string& payload, bool retained = false) {
        for (const auto& [subscription, handler] : handlers) {
            bool matches = false;
            mosquitto_topic_matches_sub(subscription.c_str(), topic.c_str(), &matches);
            if (matches) handler(topic, payload, retained);
        }
    }
    std::vector<Sent> On(const std::string& topic) const {
        std::vector<Sent> found;
        for (const Sent& s : sent) {
            if (s.topic == topic) found.push_back(s);
        }
        return found;
    }

    LinkWill will_;
    std::function<void(const std::string&)> notice_;
    std::vector<Sent> sent;
    std::map<std::string, Handler> handlers;
    bool started = false;
};

struct SaidNotices : Notices {
    void Say(const std::string& text) override { said.push_back(text); }
    std::vector<std::string> said;
};

DeviceConfig meter(std::uint32_t data_id, const std::string& name) {
    DeviceConfig config;
    config.data_id = data_id;
    config.name = name;
    config.thresholds["110200010010"] = Threshold{1, 253.0f};
    return config;
}

struct SinkRig {
    explicit SinkRig(std::vector<DeviceConfig> configured, bool discovery = false, bool writes = true,
                     const std::string& site = "panel-1")
        : meters(std::move(configured)) {
        settings.prefix = "site/";
        settings.client_id = "test";
        settings.discovery = discovery;
        settings.identity = DiscoveryIdentity{site, "1.2.3", "Maker", "http://box:8080/", ""};
        lines.emplace_back();
        for (const DeviceConfig& config : meters) lines.back().meters.push_back(&config);
        sink = std::make_unique<MqttSink>(
            settings, lines, writes ? &inbox : nullptr,
            [this](const MqttSettings&, const LinkWill& will, std::function<void(const std::string&)> notice) {
                auto made = std::make_unique<FakeLink>(will, std::move(notice));
                link = made.get();
                return made;
            },
            notices);
        sink->Start();
    }

    std::vector<DeviceConfig> meters;
    std::vector<LineInfo> lines;
    MqttSettings settings;
    WriteInbox inbox;
    SaidNotices notices;
    FakeLink* link = nullptr;  // the host's one
    std::unique_ptr<MqttSink> sink;
};

// A poll cycle of `config` that read phase 1 voltage `tenths` / 10 V, with rule
// 110200010010 (above 253 V) reported as `up`.
std::shared_ptr<CycleReport> cycle(const DeviceConfig& config, int number, int tenths, bool up,
                                   std::vector<AlarmChange> changes = {}) {
    oracle::RegisterBank bank;
    bank.SetPair(oracle::kPhaseVoltage1, tenths);
    auto report = std::make_shared<CycleReport>();
    report->meter = &config;
    report->cycle = number;
    report->utc = "2026-12-09T10:00:0" + std::to_string(number) + ".000Z";
    report->record.assign(oracle::kRecordSize, 0);
    const auto area = oracle::expected_register_area(bank);
    std::copy(area.begin(), area.end(), report->record.begin() + 4);
    report->quantities = decode_quantities(report->record);
    AlarmOutcome outcome;
    outcome.key = "110200010010";
    outcome.text = "over";
    outcome.level = 1;
    outcome.up = up;
    outcome.value_text = std::to_string(tenths / 10);
    outcome.compared = tenths / 10;
    outcome.value = tenths / 10.0;
    outcome.threshold = 253.0;
    report->alarms.push_back(outcome);
    report->alarm_changes = std::move(changes);
    return report;
}

}  // namespace

TEST(MqttTopics, EachMeterPublishesItsStateRetainedUnderItsOwnName) {
    SinkRig rig({meter(1, "panel 1/main"), meter(2, "")});
    EXPECT_TRUE(rig.link->started);
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2314, false));
    const auto states = (*rig.link).On("site/panel_1_main/state");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_TRUE(states[0].retain);
    EXPECT_EQ(states[0].json["values"]["phase_voltage_1_v"].asDouble(), 231.4);
    EXPECT_EQ(states[0].json["cycle"].asInt(), 1);
    EXPECT_TRUE(rig.link->On("site/2/state").empty());
    // A failed cycle and a reloaded record are no state of the meter now.
    auto failed = cycle(rig.meters[0], 2, 2314, false);
    failed->kind = CycleKind::failed;
    auto reloaded = cycle(rig.meters[0], 0, 2314, false);
    reloaded->kind = CycleKind::reload;
    rig.sink->Cycle(failed);
    rig.sink->Cycle(reloaded);
    EXPECT_EQ((*rig.link).On("site/panel_1_main/state").size(), 1u);
}

TEST(MqttTopics, TwoMetersThatWouldShareATopicAreRefused) {
    EXPECT_THROW(SinkRig({meter(1, "a b"), meter(2, "a/b")}), std::runtime_error);
    EXPECT_THROW(SinkRig({meter(1, kMqttHostTopic)}), std::runtime_error);  // the host's own
}

TEST(MqttAlarms, EveryOutcomeOnceThenOnlyRisesAndClears) {
    SinkRig rig({meter(1, "m")});
    FakeLink& link = (*rig.link);
    const std::string topic = "site/m/alarms/110200010010";
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2300, false));
    ASSERT_EQ(link.On(topic).size(), 1u);  // normal, said once so the retained topic has it
    EXPECT_FALSE(link.On(topic)[0].json["up"].asBool());
    EXPECT_EQ(link.On(topic)[0].json["threshold"].asDouble(), 253.0);
    rig.sink->Cycle(cycle(rig.meters[0], 2, 2300, false));
    EXPECT_EQ(link.On(topic).size(), 1u);
    auto risen = cycle(rig.meters[0], 3, 2660, true);
    risen->alarm_changes.push_back({risen->alarms[0], true});
    rig.sink->Cycle(risen);
    ASSERT_EQ(link.On(topic).size(), 2u);
    EXPECT_TRUE(link.On(topic)[1].json["up"].asBool());
    EXPECT_EQ(link.On(topic)[1].json["value"].asDouble(), 266.0);
    EXPECT_EQ(link.On(topic)[1].json["compared"].asInt(), 266);
    EXPECT_TRUE(link.On(topic)[1].retain);
}

TEST(MqttAvailability, AMeterIsOnlineFromItsFirstCycleAndOfflineWhileBackedOffAndAtTheEnd) {
    SinkRig rig({meter(1, "m")});
    EXPECT_EQ(rig.link->will_.topic, "site/qmxhost/availability");
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2300, false));
    rig.sink->BackingOff({&rig.meters[0], 5, 3, 7});
    rig.sink->Recovered(rig.meters[0], 7);
    rig.sink->Finished();
    std::vector<std::string> payloads;
    for (const Sent& said : rig.link->On("site/m/availability")) {
        EXPECT_TRUE(said.retain);
        payloads.push_back(said.payload);
    }
    // Never online before it answered: an earlier run's retained online is overwritten at start.
    EXPECT_EQ(payloads, (std::vector<std::string>{"offline", "online", "offline", "online", "offline"}));
}

TEST(MqttWrites, ARequestGoesToThePollLoopAndItsOutcomeToSetResult) {
    SinkRig rig({meter(1, "m")});
    FakeLink& link = (*rig.link);
    link.Deliver("site/m/set/registers", R"({"address": 256, "values": [4660]})");
    auto pending = rig.inbox.Take([](std::uint32_t) { return true; });
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].request.device, 1u);
    EXPECT_EQ(pending[0].request.words, (std::vector<std::uint16_t>{256, 4660}));
    pending[0].done(write_outcome::kConfirmed);  // as the poll loop would, on its thread
    const auto results = link.On("site/m/set/result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].json["confirmed"].asBool());
    EXPECT_FALSE(results[0].retain);
}

TEST(MqttWrites, RetainedOversizedMalformedOrUnallowedRequestsAreRefusedUnwritten) {
    SinkRig rig({meter(1, "m")});
    FakeLink& link = (*rig.link);
    link.Deliver("site/m/set/registers", R"({"address": 256, "values": [1]})", true);
    link.Deliver("site/m/set/registers", std::string(MqttSink::kMostRequest + 1, ' '));
    link.Deliver("site/m/set/registers", R"({"address": 256})");
    EXPECT_TRUE(rig.inbox.Take([](std::uint32_t) { return true; }).empty());
    const auto results = link.On("site/m/set/result");
    ASSERT_EQ(results.size(), 3u);
    for (const Sent& result : results) EXPECT_TRUE(result.json.isMember("error")) << result.payload;
    EXPECT_NE(results[0].json["error"].asString().find("retained"), std::string::npos);

    SinkRig closed({meter(1, "m")}, false, false);
    (*closed.link).Deliver("site/m/set/registers", R"({"address": 256, "values": [1]})");
    EXPECT_NE((*closed.link).On("site/m/set/result").at(0).json["error"].asString().find("--allow-writes"),
              std::string::npos);
}

// What Home Assistant's sensor documentation allows, held here on its own:
// the units of each device class, and which state classes it takes.
struct HomeAssistantClass {
    std::set<std::string> units;
    std::set<std::string> state_classes;
};
const std::map<std::string, HomeAssistantClass> kHomeAssistantClasses = {
    {"voltage", {{"V", "mV", "kV"}, {"measurement"}}},
    {"current", {{"A", "mA"}, {"measurement"}}},
    {"power", {{"W", "kW", "MW"}, {"measurement"}}},
    {"apparent_power", {{"VA", "kVA"}, {"measurement"}}},
    {"reactive_power", {{"var", "kvar"}, {"measurement"}}},
    {"power_factor", {{"", "%"}, {"measurement"}}},
    {"frequency", {{"Hz", "kHz"}, {"measurement"}}},
    {"energy", {{"Wh", "kWh", "MWh"}, {"total", "total_increasing"}}},
    {"reactive_energy", {{"varh", "kvarh"}, {"total", "total_increasing"}}},
};

DeviceConfig judging_meter(std::uint32_t data_id, const std::string& name) {
    DeviceConfig config = meter(data_id, name);
    config.setting["appSetting"]["b_mode"] = 2;
    return config;
}

std::map<std::string, Sent> configs_of(const FakeLink& link) {
    std::map<std::string, Sent> configs;
    for (const Sent& s : link.sent) {
        if (s.topic.rfind("homeassistant/", 0) == 0) configs[s.topic] = s;
    }
    return configs;
}

TEST(MqttDiscovery, EveryQuantityAndRuleIsToldAsHomeAssistantFilesIt) {
    SinkRig rig({judging_meter(3, "m")}, true);
    FakeLink& link = (*rig.link);
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2314, false));
    const Json::Value state = link.On("site/m/state").at(0).json;
    int sensors = 0, problems = 0, enabled = 0;
    std::set<std::string> headline;
    for (const auto& [topic, sent] : configs_of(link)) {
        const Json::Value& c = sent.json;
        EXPECT_TRUE(sent.retain) << topic;
        EXPECT_FALSE(c.isMember("object_id")) << topic;
        // Available while both the host and the meter are.
        EXPECT_EQ(c["availability"][0]["topic"].asString(), "site/qmxhost/availability");
        EXPECT_EQ(c["availability"][1]["topic"].asString(), "site/m/availability");
        EXPECT_EQ(c["availability_mode"].asString(), "all");
        EXPECT_EQ(c["device"]["identifiers"][0].asString(), "qv5810_panel-1_3");
        EXPECT_EQ(c["device"]["manufacturer"].asString(), "Maker");
        EXPECT_EQ(c["device"]["sw_version"].asString(), "1.2.3");
        EXPECT_EQ(c["device"]["configuration_url"].asString(), "http://box:8080/?device=3");
        EXPECT_EQ(c["origin"]["name"].asString(), "qmxhost");
        const std::string component = topic.substr(14, topic.find('/', 14) - 14);
        // As Home Assistant checks an entity id: lower case, digits and single underscores.
        EXPECT_TRUE(std::regex_match(c["default_entity_id"].asString(),
                                     std::regex(component + "\\.qv5810_panel_1_3(_[a-z0-9]+)+")))
            << c["default_entity_id"];
        EXPECT_FALSE(c["device"].isMember("serial_number")) << "the meter reports none";
        const bool shown = !c.isMember("enabled_by_default") || c["enabled_by_default"].asBool();
        enabled += shown;
        if (!c.isMember("entity_category")) headline.insert(c["value_template"].asString());
        if (component == "binary_sensor") {
            ++problems;
            EXPECT_FALSE(shown) << topic;
            EXPECT_EQ(c["entity_category"], "diagnostic") << topic;
            EXPECT_EQ(c["device_class"].asString(), "problem");
            EXPECT_EQ(c["state_topic"].asString().rfind("site/m/alarms/", 0), 0u);
            continue;
        }
        ++sensors;
        const auto found = kHomeAssistantClasses.find(c["device_class"].asString());
        ASSERT_NE(found, kHomeAssistantClasses.end()) << topic << " has no class Home Assistant knows";
        EXPECT_EQ(found->second.units.count(c["unit_of_measurement"].asString()), 1u) << topic;
        EXPECT_EQ(found->second.state_classes.count(c["state_class"].asString()), 1u) << topic;
        // The template reads a value the state carries.
        const std::string tpl = c["value_template"].asString();
        const std::string column = tpl.substr(tpl.find("values.") + 7, tpl.find(' ', tpl.find("values.")) - tpl.find("values.") - 7);
        EXPECT_TRUE(state["values"].isMember(column)) << topic << ": " << tpl;
    }
    EXPECT_EQ(sensors, 38);
    EXPECT_EQ(problems, 27);
    // In front: the totals, frequency and the energies; with them, enabled
    // among the diagnostics, the per-phase active powers.
    EXPECT_EQ(headline.size(), 9u);
    EXPECT_EQ(headline.count("{{ value_json.values.total_active_power_kw }}"), 1u);
    EXPECT_EQ(headline.count("{{ value_json.values.active_energy_pos_wh }}"), 1u);
    EXPECT_EQ(enabled, 12);
    // A meter whose device judges no rule has no problem sensors to go unknown.
    SinkRig quiet({meter(3, "m")}, true);
    for (const auto& [topic, sent] : configs_of((*quiet.link))) EXPECT_EQ(topic.find("binary_sensor"), std::string::npos);
}

TEST(MqttDiscovery, TwoHostsWithTheSameDataIdsKeepTheirIdsApart) {
    SinkRig panel1({meter(1, "m")}, true, true, "panel-1");
    SinkRig panel2({meter(1, "m")}, true, true, "panel2");
    std::set<std::string> ids;
    for (SinkRig* rig : {&panel1, &panel2}) {
        for (const auto& [topic, sent] : configs_of((*rig->link))) {
            EXPECT_TRUE(ids.insert(topic).second) << topic;
            EXPECT_TRUE(ids.insert(sent.json["unique_id"].asString()).second) << topic;
        }
    }
    // Made up when not given: the same for one machine and prefix, another for another prefix.
    HostSettings settings = default_settings();
    settings.mqtt.prefix = "a/";
    const std::string site = run_site(settings, machine_id());
    EXPECT_EQ(run_site(settings, machine_id()), site);
    settings.mqtt.prefix = "b/";
    EXPECT_NE(run_site(settings, machine_id()), site);
    EXPECT_NE(run_site(settings, "another machine"), run_site(settings, machine_id()));
    // What 1.1 made for this machine id and the default prefix: Home Assistant's ids must not change.
    EXPECT_EQ(made_up_site("0123456789abcdef0123456789abcdef", "qv5810/"), "291c0447");
    // Given, as the old spelling or the new, it is the one id, as a topic may hold it.
    settings.site = "Panel 1";
    EXPECT_EQ(run_site(settings, machine_id()), "panel_1");
}

TEST(MqttDiscovery, HomeAssistantOnlineHearsItAllAgainAndLeftoversAreTakenBack) {
    SinkRig rig({judging_meter(3, "m")}, true);
    FakeLink& link = (*rig.link);
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2314, false));
    const std::size_t told = configs_of(link).size();
    link.sent.clear();
    link.Deliver("homeassistant/status", "online");
    EXPECT_EQ(configs_of(link).size(), told);
    // Retained outcomes a broker may have lost are told again with the next cycle.
    rig.sink->Cycle(cycle(rig.meters[0], 2, 2314, false));
    EXPECT_EQ(link.On("site/m/alarms/110200010010").size(), 1u);

    // A meter gone takes its retained values with it; a meter still here keeps them.
    link.sent.clear();
    const std::string gone = R"({"state_topic":"site/old/state","availability":[{"topic":"site/qmxhost/availability"},{"topic":"site/old/availability"}]})";
    link.Deliver("homeassistant/sensor/qv5810_panel-1/9_current_1_a/config", gone, true);
    link.Deliver("homeassistant/sensor/qv5810_panel-1/9_current_2_a/config", gone, true);
    link.Deliver("homeassistant/binary_sensor/qv5810_panel-1/9_alarm_110200010010/config",
                 R"({"state_topic":"site/old/alarms/110200010010"})", true);
    link.Deliver("homeassistant/sensor/qv5810_panel-1/3_old_column/config", R"({"state_topic":"site/m/state"})", true);
    std::vector<std::string> emptied;
    for (const Sent& s : link.sent) {
        EXPECT_TRUE(s.payload.empty() && s.retain);
        if (s.topic.rfind("site/", 0) == 0) emptied.push_back(s.topic);
    }
    EXPECT_EQ(emptied, (std::vector<std::string>{"site/old/state", "site/old/availability", "site/old/alarms/110200010010"}));

    link.sent.clear();
    link.Deliver("homeassistant/sensor/qv5810_panel-1/9_current_1_a/config", "{}", true);         // a meter gone
    link.Deliver("homeassistant/sensor/qv5810_panel-1/3_old_column/config", "{}", true);          // an entity gone
    link.Deliver("homeassistant/sensor/qv5810_panel-1/3_current_1_a/config", "{}", true);         // still here
    link.Deliver("homeassistant/sensor/qv5810_panel2/9_current_1_a/config", "{}", true);         // another host's
    link.Deliver("homeassistant/sensor/qv5810_panel-1/9_current_1_a/config", "", true);           // already gone
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(link.sent[0].topic, "homeassistant/sensor/qv5810_panel-1/9_current_1_a/config");
    EXPECT_EQ(link.sent[1].topic, "homeassistant/sensor/qv5810_panel-1/3_old_column/config");
    for (const Sent& s : link.sent) EXPECT_TRUE(s.payload.empty() && s.retain);
}

TEST(MqttNotices, TheLinksNewsAndTheCountsAtTheEndReachTheHost) {
    SinkRig rig({meter(1, "m"), meter(2, "n")});
    rig.link->notice_("mqtt: lost b:1883");
    EXPECT_EQ(rig.notices.said, (std::vector<std::string>{"mqtt: lost b:1883"}));
    rig.sink->Finished();  // once for the whole run, not per meter or line
    ASSERT_EQ(rig.notices.said.size(), 2u);
    EXPECT_NE(rig.notices.said[1].find("2 dropped while the broker was away"), std::string::npos) << rig.notices.said[1];
}
