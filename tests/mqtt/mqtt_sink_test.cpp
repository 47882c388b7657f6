// The broker outlet in-process, its links replaced by ones that record what
// is published and deliver what a test sends: topics, alarm changes,
// availability, discovery and write requests. The wire itself is tested
// against a real Mosquitto in mqtt_broker_test.cpp.
#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "framework/control_codes.h"
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
    explicit FakeLink(std::string will_topic) : will_topic_(std::move(will_topic)) {}
    void Publish(const std::string& topic, const std::string& payload, bool retain) override {
        sent.push_back({topic, payload, retain, parse_json(payload).value_or(Json::Value())});
    }
    void Subscribe(const std::string& topic, Handler handler) override { handlers[topic] = std::move(handler); }
    void Start() override { started = true; }
    std::size_t dropped() const override { return 2; }
    std::size_t published() const override { return sent.size(); }
    std::size_t queued() override { return 0; }
    std::vector<std::string> TakeNotices() override { return std::exchange(notices, {}); }

    // A message from the broker on `topic`.
    void Deliver(const std::string& topic, const std::string& payload, bool retained = false) {
        handlers.at(topic)(topic, payload, retained);
    }
    std::vector<Sent> On(const std::string& topic) const {
        std::vector<Sent> found;
        for (const Sent& s : sent) {
            if (s.topic == topic) found.push_back(s);
        }
        return found;
    }

    std::string will_topic_;
    std::vector<Sent> sent;
    std::map<std::string, Handler> handlers;
    std::vector<std::string> notices;
    bool started = false;
};

DeviceConfig meter(std::uint32_t data_id, const std::string& name) {
    DeviceConfig config;
    config.data_id = data_id;
    config.name = name;
    config.thresholds["110200010010"] = Threshold{1, 253.0f};
    return config;
}

struct SinkRig {
    explicit SinkRig(std::vector<DeviceConfig> configured, bool discovery = false, bool writes = true)
        : meters(std::move(configured)) {
        settings.prefix = "site/";
        settings.client_id = "test";
        settings.discovery = discovery;
        sink = std::make_unique<MqttSink>(settings, meters, writes ? &inbox : nullptr,
                                          [this](const MqttSettings&, const std::string& will, const std::string&,
                                                 const std::string&) {
                                              auto link = std::make_unique<FakeLink>(will);
                                              links[will.substr(0, will.rfind('/') + 1)] = link.get();
                                              return link;
                                          });
    }
    FakeLink& Link(const std::string& base) { return *links.at(base); }

    std::vector<DeviceConfig> meters;
    MqttSettings settings;
    WriteInbox inbox;
    std::map<std::string, FakeLink*> links;  // by topic base
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
    report->alarms.push_back(AlarmReport{1, "110200010010", "110200010010", "over", std::to_string(tenths / 10), up, 1});
    report->alarm_changes = std::move(changes);
    return report;
}

}  // namespace

TEST(MqttTopics, EachMeterPublishesItsStateRetainedUnderItsOwnName) {
    SinkRig rig({meter(1, "panel 1/main"), meter(2, "")});
    EXPECT_TRUE(rig.Link("site/panel_1_main/").started);
    EXPECT_TRUE(rig.Link("site/2/").started);
    rig.sink->Cycle(cycle(rig.meters[0], 1, 2314, false));
    const auto states = rig.Link("site/panel_1_main/").On("site/panel_1_main/state");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_TRUE(states[0].retain);
    EXPECT_EQ(states[0].json["values"]["phase_voltage_1_v"].asDouble(), 231.4);
    EXPECT_EQ(states[0].json["cycle"].asInt(), 1);
    EXPECT_TRUE(rig.Link("site/2/").On("site/2/state").empty());
    // A failed cycle and a reloaded record are no state of the meter now.
    auto failed = cycle(rig.meters[0], 2, 2314, false);
    failed->kind = CycleKind::failed;
    auto reloaded = cycle(rig.meters[0], 0, 2314, false);
    reloaded->kind = CycleKind::reload;
    rig.sink->Cycle(failed);
    rig.sink->Cycle(reloaded);
    EXPECT_EQ(rig.Link("site/panel_1_main/").On("site/panel_1_main/state").size(), 1u);
}

TEST(MqttTopics, TwoMetersThatWouldShareATopicAreRefused) {
    EXPECT_THROW(SinkRig({meter(1, "a b"), meter(2, "a/b")}), std::runtime_error);
}

TEST(MqttAlarms, EveryOutcomeOnceThenOnlyRisesAndClears) {
    SinkRig rig({meter(1, "m")});
    FakeLink& link = rig.Link("site/m/");
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
    EXPECT_EQ(link.On(topic)[1].json["value"].asString(), "266");
    EXPECT_TRUE(link.On(topic)[1].retain);
}

TEST(MqttAvailability, ABackedOffMeterIsOfflineUntilItAnswers) {
    SinkRig rig({meter(1, "m")});
    rig.sink->BackingOff({&rig.meters[0], 5, 3, 7});
    rig.sink->Recovered(rig.meters[0], 7);
    const auto said = rig.Link("site/m/").On("site/m/availability");
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0].payload, "offline");
    EXPECT_EQ(said[1].payload, "online");
    EXPECT_TRUE(said[0].retain && said[1].retain);
}

TEST(MqttWrites, ARequestGoesToThePollLoopAndItsOutcomeToSetResult) {
    SinkRig rig({meter(1, "m")});
    FakeLink& link = rig.Link("site/m/");
    link.Deliver("site/m/set/registers", R"({"address": 256, "values": [4660]})");
    auto pending = rig.inbox.TakeAll();
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
    FakeLink& link = rig.Link("site/m/");
    link.Deliver("site/m/set/registers", R"({"address": 256, "values": [1]})", true);
    link.Deliver("site/m/set/registers", std::string(MqttSink::kMostRequest + 1, ' '));
    link.Deliver("site/m/set/registers", R"({"address": 256})");
    EXPECT_TRUE(rig.inbox.TakeAll().empty());
    const auto results = link.On("site/m/set/result");
    ASSERT_EQ(results.size(), 3u);
    for (const Sent& result : results) EXPECT_TRUE(result.json.isMember("error")) << result.payload;
    EXPECT_NE(results[0].json["error"].asString().find("retained"), std::string::npos);

    SinkRig closed({meter(1, "m")}, false, false);
    closed.Link("site/m/").Deliver("site/m/set/registers", R"({"address": 256, "values": [1]})");
    EXPECT_NE(closed.Link("site/m/").On("site/m/set/result").at(0).json["error"].asString().find("--allow-writes"),
              std::string::npos);
}

TEST(MqttDiscovery, HomeAssistantIsToldOfTheMainQuantities) {
    SinkRig rig({meter(3, "m")}, true);
    const auto configs = rig.Link("site/m/").On("homeassistant/sensor/qv5810_3/phase_voltage_1_v/config");
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_TRUE(configs[0].retain);
    EXPECT_EQ(configs[0].json["state_topic"].asString(), "site/m/state");
    EXPECT_EQ(configs[0].json["device_class"].asString(), "voltage");
    EXPECT_EQ(configs[0].json["unit_of_measurement"].asString(), "V");
    EXPECT_EQ(rig.Link("site/m/").On("homeassistant/sensor/qv5810_3/active_energy_pos_wh/config").at(0)
                  .json["state_class"].asString(),
              "total_increasing");
}

TEST(MqttNotices, TheLinksNewsAndTheCountsAtTheEndReachTheHost) {
    SinkRig rig({meter(1, "m")});
    rig.Link("site/m/").notices.push_back("mqtt: lost b:1883");
    EXPECT_EQ(rig.sink->TakeNotices(), (std::vector<std::string>{"device 1: mqtt: lost b:1883"}));
    EXPECT_TRUE(rig.sink->TakeNotices().empty());
    rig.sink->Finished(RunSummary{});
    const auto last = rig.sink->TakeNotices();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_NE(last[0].find("2 dropped while the broker was away"), std::string::npos) << last[0];
}
