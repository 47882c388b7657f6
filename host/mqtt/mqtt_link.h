// The broker connection on one network thread of its own: QoS 1,
// reconnection with back-off (1 s doubling to 30 s, also after the broker
// refused a connect), a last will, and a bounded queue of the newest
// messages for the time the broker is away. Publishing never waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/mqtt/broker_link.h"
#include "host/mqtt/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

class MqttLink : public BrokerLink {
public:
    static constexpr std::chrono::seconds kLongestPause{30};  // between connects that failed

    // Starts nothing yet; throws std::runtime_error only for what no retry
    // mends (a TLS setup that fails, out of memory).
    MqttLink(const MqttSettings& settings, LinkWill will, std::function<void(const std::string&)> notice);
    ~MqttLink() override;  // says offline on the will's topic, waits a moment for the broker to take the last messages
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    void Publish(const std::string& topic, const std::string& payload, bool retain) override;
    void Subscribe(const std::string& topic, Handler handler) override;
    void Start() override;

    std::size_t dropped() const override { return dropped_; }
    std::size_t published() const override { return published_; }
    std::size_t queued() override;
    // Connects made so far, refused ones too.
    int attempts() const { return attempts_; }

private:
    struct Message {
        std::string topic, payload;
        bool retain;
    };
    static void OnConnect(mosquitto* client, void* self, int code);
    static void OnDisconnect(mosquitto* client, void* self, int code);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto* client, void* self, int message_id);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);
    int PublishNow(const std::string& topic, const std::string& payload, bool retain);
    void Send(const Message& message);  // with link_mutex_ held
    void Notice(const std::string& text);
    // The network thread: connects, runs the connection until it ends,
    // pauses, connects again, until the link goes.
    void Run();
    bool Pause(std::chrono::seconds pause);  // false when the link goes meanwhile

    MqttSettings settings_;
    LinkWill will_;
    std::function<void(const std::string&)> notice_;
    mosquitto* client_ = nullptr;
    std::map<std::string, Handler> handlers_;  // not changed once started
    std::atomic<bool> connected_{false};
    std::atomic<bool> mqtt_311_{false};  // the broker refused MQTT 5
    std::atomic<bool> reached_{false};   // connected since the last pause
    bool answered_ = false;              // the network thread's: the broker answered this attempt's connect
    std::atomic<std::size_t> dropped_{0};
    std::atomic<std::size_t> published_{0};
    std::atomic<std::size_t> handed_over_{0};  // to libmosquitto, ours and the availability's
    std::atomic<std::size_t> acknowledged_{0};
    std::atomic<int> attempts_{0};
    std::mutex link_mutex_;  // guards queue_ and last_notice_
    std::deque<Message> queue_;
    std::string last_notice_;
    std::mutex run_mutex_;  // guards stopping_, for the pauses
    std::condition_variable run_;
    bool stopping_ = false;
    std::atomic<bool> stop_{false};  // the same, read by the network thread between turns
    std::thread thread_;
};
