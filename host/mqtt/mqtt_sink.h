// Every meter on a broker, under PREFIX<meter>/, through one connection for
// the whole host: its state after every completed cycle, each alarm rule's
// outcome when it changes, its availability, Home Assistant discovery when
// asked for (told again each time Home Assistant comes online, and what an
// earlier run told of meters and entities no longer here taken back), and
// register writes taken from set/registers with their outcome on
// set/result. The host's own availability (its last will) is on
// PREFIX qmxhost/availability; discovery names both, so that a host killed
// outright leaves every meter unavailable.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/mqtt/broker_link.h"
#include "host/mqtt/mqtt_settings.h"
#include "host/report/report.h"
#include "host/report/write_inbox.h"

// The meter's part of its topics: its name with /, +, #, spaces and control
// characters made _, or its data id when it has no name.
std::string mqtt_meter_topic(const std::string& name, std::uint32_t data_id);
// The host's own part, beside its meters': no meter may take it.
inline constexpr const char* kMqttHostTopic = "qmxhost";

class MqttSink : public Outlet {
public:
    static constexpr std::size_t kMostRequest = 4096;  // bytes of a set/registers message

    // `inbox` is null without --allow-writes; `make_link` makes the host's
    // link. Throws std::runtime_error when two meters would publish under
    // one topic, or one under the host's. The lines must outlive this.
    MqttSink(const MqttSettings& settings, const std::vector<LineInfo>& lines, WriteInbox* inbox,
             const BrokerLinkFactory& make_link, Notices& notices);
    // Connects: from here on the link says what becomes of the connection
    // and takes write requests. After the run has said it started.
    void Start() { link_->Start(); }

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void Finished() override;
    void Missed(const Gap& gap) override;

private:
    struct Meter {
        const DeviceConfig* config = nullptr;
        std::string base;                         // PREFIX<meter>/
        std::vector<DiscoveryMessage> discovery;  // what it tells Home Assistant, the same all run long
        // Every rule's outcome has been sent once; cleared when Home Assistant
        // comes online again, after a broker that may have lost the retained ones.
        std::atomic<bool> alarms_published{false};
        bool online = false;  // the outlet's thread's: what its availability says
    };
    void WriteRequested(const std::string& topic, const std::string& payload, bool retained);
    void PublishDiscovery(const Meter& meter);
    void HomeAssistantSaid(const std::string& payload);
    void TakeBackIfGone(const std::string& topic, const std::string& payload);
    void PublishAlarm(const Meter& meter, const CycleReport& report, const AlarmOutcome& outcome, bool up);
    void Available(Meter& meter, bool online);
    Meter* Find(std::uint32_t data_id);

    const MqttSettings settings_;
    WriteInbox* inbox_;
    Notices& notices_;
    // Before the link, whose thread reads them until it is joined; not
    // changed after construction.
    std::set<std::string> discovered_;        // every config topic this run publishes
    std::set<std::string> emptied_;           // a gone meter's topics taken back; the link's thread only
    std::map<std::uint32_t, Meter> meters_;   // by data id
    std::map<std::string, Meter*> by_base_;   // by PREFIX<meter>/
    std::unique_ptr<BrokerLink> link_;
};

// The link of a real broker, through libmosquitto.
BrokerLinkFactory mosquitto_links();
