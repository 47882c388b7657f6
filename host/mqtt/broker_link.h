// One connection to the broker as the MQTT outlet uses it, behind an
// interface so that its topics, alarm changes, discovery and write requests
// are tested in-process; MqttLink is the real one.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct MqttSettings;

class BrokerLink {
public:
    using Handler = std::function<void(const std::string& topic, const std::string& payload, bool retained)>;

    virtual ~BrokerLink() = default;
    // Any thread; queued while the broker is away, the oldest dropped first.
    virtual void Publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    // Before Start: messages on `topic` (which may hold + and #) go to
    // `handler`, on the link's own thread.
    virtual void Subscribe(const std::string& topic, Handler handler) = 0;
    virtual void Start() = 0;

    virtual std::size_t dropped() const = 0;
    virtual std::size_t published() const = 0;
    virtual std::size_t queued() = 0;  // waiting for the broker
    // What happened to the connection since the last call, for people.
    virtual std::vector<std::string> TakeNotices() = 0;
};

// Makes a meter's link: with its client id, and its last will `will_payload`
// on `will_topic`, where `online` is published at every connect.
using BrokerLinkFactory = std::function<std::unique_ptr<BrokerLink>(
    const MqttSettings& settings, const std::string& will_topic, const std::string& online,
    const std::string& will_payload)>;
