// The connection to the broker as the MQTT outlet uses it, behind an
// interface so that its topics, alarm changes, discovery and write requests
// are tested in-process; MqttLink is the real one. One link serves every
// meter of the host.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct MqttSettings;

// The host's own availability: `online` on every connect, `offline` when
// the host goes, said by the broker (the last will) when it goes unseen.
struct LinkWill {
    std::string topic;
    std::string online = "online";
    std::string offline = "offline";
};

class BrokerLink {
public:
    using Handler = std::function<void(const std::string& topic, const std::string& payload, bool retained)>;

    virtual ~BrokerLink() = default;
    // Any thread; never waits. Queued while the broker is away, the oldest
    // dropped first.
    virtual void Publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    // Before Start: messages on `topic` (which may hold + and #) go to
    // `handler`, on the link's own thread.
    virtual void Subscribe(const std::string& topic, Handler handler) = 0;
    virtual void Start() = 0;

    virtual std::size_t dropped() const = 0;
    virtual std::size_t published() const = 0;
    virtual std::size_t queued() = 0;  // waiting for the broker
};

// Makes the host's link; `notice` is told, once per change, what happened
// to the connection, on the link's thread.
using BrokerLinkFactory = std::function<std::unique_ptr<BrokerLink>(
    const MqttSettings& settings, const LinkWill& will, std::function<void(const std::string&)> notice)>;
