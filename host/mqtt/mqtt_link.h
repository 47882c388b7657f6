// The broker connection, on libmosquitto's own network thread: QoS 1,
// reconnection with back-off, a last will, and a bounded queue of the newest
// messages for the time the broker is away. Publishing never waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/mqtt/broker_link.h"
#include "host/mqtt/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

class MqttLink : public BrokerLink {
public:

    // The last will: `will_payload` published retained on `will_topic` when
    // the connection is lost without a goodbye; `online` is published there
    // on every connect. Starts connecting at once; throws std::runtime_error
    // only for what no retry mends (a TLS setup that fails, out of memory).
    MqttLink(const MqttSettings& settings, std::string will_topic, std::string online, std::string will_payload);
    ~MqttLink() override;  // says goodbye (the will's payload) and disconnects
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    void Publish(const std::string& topic, const std::string& payload, bool retain) override;
    void Subscribe(const std::string& topic, Handler handler) override;
    void Start() override;

    std::size_t dropped() const override { return dropped_; }
    std::size_t published() const override { return published_; }
    std::size_t queued() override;
    std::vector<std::string> TakeNotices() override;

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
    void Supervise();

    MqttSettings settings_;
    std::string will_topic_, online_, will_payload_;
    mosquitto* client_ = nullptr;
    std::map<std::string, Handler> handlers_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> mqtt_311_{false};  // the broker refused MQTT 5
    std::atomic<std::size_t> dropped_{0};
    std::atomic<std::size_t> published_{0};
    std::atomic<std::size_t> handed_over_{0};  // to libmosquitto, ours and the availability's
    std::atomic<std::size_t> acknowledged_{0};
    std::mutex link_mutex_;  // guards queue_, notices_, last_notice_
    std::deque<Message> queue_;
    std::vector<std::string> notices_;
    std::string last_notice_;
    // libmosquitto's network thread ends when the broker refuses a connect
    // (a login, a protocol version); this one starts it again after a pause.
    std::thread supervisor_;
    std::mutex supervise_mutex_;  // guards refused_ and stopping_ for the waits
    std::condition_variable supervise_;
    bool refused_ = false;
    bool stopping_ = false;
    std::atomic<bool> pause_reset_{false};  // connected since the last refusal
};
