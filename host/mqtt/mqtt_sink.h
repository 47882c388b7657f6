// Each meter on a broker, under PREFIX<meter>/: its state after every
// completed cycle, each alarm rule's outcome when it changes, its
// availability, Home Assistant discovery when asked for (told again each
// time Home Assistant comes online, and what an earlier run told of meters
// and entities no longer here taken back), and register writes taken from
// set/registers with their outcome on set/result. Each meter has a link of
// its own, so that each has its own last will.
#pragma once

#include <cstdint>
#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "host/core/report.h"
#include "host/core/write_inbox.h"
#include "host/mqtt/broker_link.h"
#include "host/mqtt/mqtt_settings.h"

// The meter's part of its topics: its name with /, +, #, spaces and control
// characters made _, or its data id when it has no name.
std::string mqtt_meter_topic(const std::string& name, std::uint32_t data_id);

class MqttSink : public Outlet {
public:
    static constexpr std::size_t kMostRequest = 4096;  // bytes of a set/registers message

    // `inbox` is null without --allow-writes; `make_link` makes each meter's
    // link, which starts connecting at once. Throws std::runtime_error when
    // two meters would publish under one topic. The meters must outlive this.
    MqttSink(const MqttSettings& settings, const std::vector<DeviceConfig>& meters, WriteInbox* inbox,
             const BrokerLinkFactory& make_link);

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void Finished(const RunSummary& summary) override;
    std::vector<std::string> TakeNotices() override;

private:
    struct Meter {
        const DeviceConfig* config = nullptr;
        std::string base;  // PREFIX<meter>/
        std::unique_ptr<BrokerLink> link;
        std::vector<DiscoveryMessage> discovery;  // what it tells Home Assistant, the same all run long
        // Every rule's outcome has been sent once; cleared when Home Assistant
        // comes online again, after a broker that may have lost the retained ones.
        std::atomic<bool> alarms_published{false};
    };
    void WriteRequested(Meter& meter, const std::string& payload, bool retained);
    void PublishDiscovery(const Meter& meter);
    void HomeAssistantSaid(Meter& meter, const std::string& payload);
    void TakeBackIfGone(BrokerLink& link, const std::string& topic, const std::string& payload);
    void PublishAlarm(const Meter& meter, const CycleReport& report, const AlarmReport& alarm, bool up);
    Meter* Find(std::uint32_t data_id);

    const MqttSettings settings_;
    WriteInbox* inbox_;
    // Before the meters, whose links' threads read it until they are joined.
    std::set<std::string> discovered_;       // every config topic this run publishes; not changed after construction
    std::map<std::uint32_t, Meter> meters_;  // not changed after construction: the links' threads look meters up
    std::vector<std::string> notices_;
};

// The links of a real broker, through libmosquitto.
BrokerLinkFactory mosquitto_links();
