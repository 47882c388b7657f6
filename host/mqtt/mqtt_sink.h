// Each meter on a broker, under PREFIX<meter>/: its state after every
// completed cycle, each alarm rule's outcome when it changes, its
// availability, Home Assistant discovery when asked for, and register writes
// taken from set/registers with their outcome on set/result. Each meter has
// a connection of its own, so that each has its own last will.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/live/live_state.h"
#include "host/mqtt/mqtt_link.h"
#include "host/qmxhost/write_inbox.h"

// The meter's part of its topics: its name with /, +, #, spaces and control
// characters made _, or its data id when it has no name.
std::string mqtt_meter_topic(const std::string& name, std::uint32_t data_id);

class MqttSink : public ReportSink {
public:
    static constexpr std::size_t kMostRequest = 4096;  // bytes of a set/registers message

    // `live` must be a sink before this one, so that a cycle's view is in
    // when this sink hears of it. `inbox` is null without --allow-writes.
    // Starts connecting at once. Throws std::runtime_error when two meters
    // would publish under one topic.
    MqttSink(const MqttSettings& settings, const LiveState& live, WriteInbox* inbox, ReportSink& problems);

    void PollStarted(const QMXVDevice& device) override;
    void CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) override;
    void BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) override;
    void Recovered(const QMXVDevice& device, int cycle) override;
    void Summary(const Json::Value& summary, const std::string& for_people) override;

private:
    struct Meter {
        std::string base;  // PREFIX<meter>/
        std::unique_ptr<MqttLink> link;
        std::map<std::string, bool> published_up;  // poll thread only
    };
    void WriteRequested(std::uint32_t data_id, const std::string& payload);
    void PublishDiscovery(const LiveMeter& meter, Meter& topics);
    void ReportNotices();

    const MqttSettings settings_;
    const LiveState& live_;
    WriteInbox* inbox_;
    ReportSink& problems_;
    std::map<std::uint32_t, Meter> meters_;
};
