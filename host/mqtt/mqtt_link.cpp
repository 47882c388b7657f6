#include "host/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
constexpr std::chrono::seconds kLongestPause{30};  // between connects the broker refused

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

}  // namespace

MqttLink::MqttLink(const MqttSettings& settings, std::string will_topic, std::string online, std::string will_payload)
    : settings_(settings), will_topic_(std::move(will_topic)), online_(std::move(online)),
      will_payload_(std::move(will_payload)) {
    static Library library;
    // A clean session leaves nothing behind on the broker; QoS 1 messages in
    // flight when the line broke are still sent again after the reconnect.
    client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("mqtt: cannot make a client");
    // MQTT 5, for its retain-as-published subscriptions: a write request
    // published retained reaches us marked so even while we are connected.
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(client_, &MqttLink::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttLink::OnDisconnect);
    mosquitto_message_callback_set(client_, &MqttLink::OnMessage);
    mosquitto_publish_callback_set(client_, &MqttLink::OnPublish);
    mosquitto_log_callback_set(client_, &MqttLink::OnLog);
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
    mosquitto_will_set(client_, will_topic_.c_str(), static_cast<int>(will_payload_.size()), will_payload_.data(), kQos,
                       true);
    if (!settings_.username.empty()) {
        mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                  settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (settings_.tls) {
        const int rc = settings_.ca_file.empty()
                           ? mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                           : mosquitto_tls_set(client_, settings_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            throw std::runtime_error(std::string("mqtt: cannot set up TLS: ") + mosquitto_strerror(rc));
        }
    }
}

MqttLink::~MqttLink() {
    {
        const std::lock_guard<std::mutex> lock(supervise_mutex_);
        stopping_ = true;
    }
    supervise_.notify_all();
    if (supervisor_.joinable()) supervisor_.join();
    if (connected_) {
        // A clean goodbye sends no will, so the offline state is said here.
        PublishNow(will_topic_, will_payload_, true);
        // The last cycles' messages are on their way: give the broker time to
        // take them (a busy machine's broker can take seconds), not forever.
        for (int waited = 0; waited < 1000 && connected_ && acknowledged_ < handed_over_; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void MqttLink::Subscribe(const std::string& topic, Handler handler) { handlers_[topic] = std::move(handler); }

void MqttLink::Start() {
    const int rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        Notice("mqtt: cannot reach " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
               (rc == MOSQ_ERR_ERRNO ? "connection failed" : mosquitto_strerror(rc)) + "; retrying");
    }
    // The network thread retries a failed first connect as it does a lost one.
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) throw std::runtime_error("mqtt: cannot start its thread");
    supervisor_ = std::thread([this] { Supervise(); });
}

void MqttLink::Supervise() {
    std::chrono::seconds pause{1};
    std::unique_lock<std::mutex> lock(supervise_mutex_);
    for (;;) {
        supervise_.wait(lock, [this] { return stopping_ || refused_; });
        if (pause_reset_.exchange(false)) pause = std::chrono::seconds(1);
        if (supervise_.wait_for(lock, pause, [this] { return stopping_; })) return;
        pause = std::min(pause * 2, kLongestPause);
        refused_ = false;
        lock.unlock();
        // The library's thread has ended, or is ended here; a new one connects again.
        mosquitto_loop_stop(client_, true);
        mosquitto_reconnect_async(client_);
        mosquitto_loop_start(client_);
        lock.lock();
    }
}

void MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
    const std::lock_guard<std::mutex> lock(link_mutex_);
    if (connected_ && queue_.empty()) {
        Send({topic, payload, retain});
        return;
    }
    queue_.push_back({topic, payload, retain});
    if (queue_.size() > settings_.most_queued) {
        queue_.pop_front();
        ++dropped_;
    }
}

int MqttLink::PublishNow(const std::string& topic, const std::string& payload, bool retain) {
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     kQos, retain);
    if (rc == MOSQ_ERR_SUCCESS) ++handed_over_;
    return rc;
}

void MqttLink::Send(const Message& message) {
    if (PublishNow(message.topic, message.payload, message.retain) == MOSQ_ERR_SUCCESS) {
        ++published_;
    } else {
        ++dropped_;
    }
}

std::vector<std::string> MqttLink::TakeNotices() {
    const std::lock_guard<std::mutex> lock(link_mutex_);
    std::vector<std::string> taken;
    taken.swap(notices_);
    return taken;
}

void MqttLink::Notice(const std::string& text) {
    const std::lock_guard<std::mutex> lock(link_mutex_);
    // A broker away for an hour is one notice, not one per retry.
    if (text == last_notice_) return;
    last_notice_ = text;
    notices_.push_back(text);
}

void MqttLink::OnConnect(mosquitto* client, void* self, int code) {
    auto& link = *static_cast<MqttLink*>(self);
    const std::string where = link.settings_.host + ":" + std::to_string(link.settings_.port);
    // A broker of MQTT 3.1.1 only refuses a version 5 connect: the next
    // attempt speaks 3.1.1, and the one thing that costs is said.
    const bool older_broker = code == CONNACK_REFUSED_PROTOCOL_VERSION || code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
    if (code != 0) {
        if (older_broker && !link.mqtt_311_) {
            link.mqtt_311_ = true;
            mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            link.Notice("mqtt: " + where + " speaks MQTT 3.1.1 only: a write request published retained while " +
                        "connected arrives unmarked and is carried out; reconnecting");
        } else {
            link.Notice("mqtt: " + where + " refused the connection: " + mosquitto_connack_string(code) + "; retrying");
        }
        {
            const std::lock_guard<std::mutex> lock(link.supervise_mutex_);
            link.refused_ = true;
        }
        link.supervise_.notify_all();
        return;
    }
    link.pause_reset_ = true;
    for (const auto& [topic, handler] : link.handlers_) {
        if (link.mqtt_311_) {
            mosquitto_subscribe(client, nullptr, topic.c_str(), kQos);
        } else {
            mosquitto_subscribe_v5(client, nullptr, topic.c_str(), kQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
        }
    }
    link.PublishNow(link.will_topic_, link.online_, true);
    std::size_t flushed = 0;
    {
        const std::lock_guard<std::mutex> lock(link.link_mutex_);
        for (const Message& message : link.queue_) link.Send(message);
        flushed = link.queue_.size();
        link.queue_.clear();
        link.connected_ = true;
    }
    link.Notice("mqtt: connected to " + where + (flushed > 0 ? "; sent " + std::to_string(flushed) + " queued" : "") +
                (link.dropped_ > 0 ? "; " + std::to_string(link.dropped_.load()) + " dropped so far" : ""));
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int code) {
    auto& link = *static_cast<MqttLink*>(self);
    {
        const std::lock_guard<std::mutex> lock(link.link_mutex_);
        link.connected_ = false;
    }
    if (code != 0) {
        link.Notice("mqtt: lost " + link.settings_.host + ":" + std::to_string(link.settings_.port) +
                    "; queueing the newest " + std::to_string(link.settings_.most_queued) + " messages, reconnecting");
    }
}

void MqttLink::OnPublish(mosquitto*, void* self, int) { ++static_cast<MqttLink*>(self)->acknowledged_; }

// What only the library's log tells, a certificate that does not verify above all.
void MqttLink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text != nullptr) static_cast<MqttLink*>(self)->Notice(std::string("mqtt: ") + text);
}

std::size_t MqttLink::queued() {
    const std::lock_guard<std::mutex> lock(link_mutex_);
    return queue_.size();
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& link = *static_cast<MqttLink*>(self);
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen > 0 ? message->payloadlen : 0));
    // A subscription may hold wildcards: each one the topic matches is told.
    for (const auto& [subscription, handler] : link.handlers_) {
        bool matches = false;
        mosquitto_topic_matches_sub(subscription.c_str(), message->topic, &matches);
        if (matches) handler(message->topic, payload, message->retain);
    }
}
