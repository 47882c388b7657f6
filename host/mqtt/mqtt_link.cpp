#include "host/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// How long one turn of the network thread waits on the socket: a stop is
// seen within it. Messages published meanwhile wake it at once.
constexpr int kTurnMs = 250;

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

}  // namespace

MqttLink::MqttLink(const MqttSettings& settings, LinkWill will, std::function<void(const std::string&)> notice)
    : settings_(settings), will_(std::move(will)), notice_(std::move(notice)) {
    static Library library;
    // A clean session leaves nothing behind on the broker; QoS 1 messages in
    // flight when the line broke are still sent again after the reconnect.
    client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("mqtt: cannot make a client");
    // Other threads publish; the library then wakes this link's thread
    // instead of writing from theirs.
    mosquitto_threaded_set(client_, true);
    // MQTT 5, for its retain-as-published subscriptions: a write request
    // published retained reaches us marked so even while we are connected.
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(client_, &MqttLink::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttLink::OnDisconnect);
    mosquitto_message_callback_set(client_, &MqttLink::OnMessage);
    mosquitto_publish_callback_set(client_, &MqttLink::OnPublish);
    mosquitto_log_callback_set(client_, &MqttLink::OnLog);
    mosquitto_will_set(client_, will_.topic.c_str(), static_cast<int>(will_.offline.size()), will_.offline.data(), kQos,
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
    if (connected_) {
        // A clean goodbye sends no will, so the offline state is said here.
        PublishNow(will_.topic, will_.offline, true);
        // The last cycles' messages are on their way: give the broker time to
        // take them (a busy machine's broker can take seconds), not forever.
        for (int waited = 0; waited < 1000 && connected_ && acknowledged_ < handed_over_; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    {
        const std::lock_guard<std::mutex> lock(run_mutex_);
        stopping_ = true;
        stop_ = true;
    }
    run_.notify_all();
    mosquitto_disconnect(client_);
    if (thread_.joinable()) thread_.join();
    mosquitto_destroy(client_);
}

void MqttLink::Subscribe(const std::string& topic, Handler handler) { handlers_[topic] = std::move(handler); }

void MqttLink::Start() {
    thread_ = std::thread([this] { Run(); });
    pthread_setname_np(thread_.native_handle(), "mqtt");
}

bool MqttLink::Pause(std::chrono::seconds pause) {
    std::unique_lock<std::mutex> lock(run_mutex_);
    return !run_.wait_for(lock, pause, [this] { return stopping_; });
}

void MqttLink::Run() {
    std::chrono::seconds pause{1};
    const auto unreachable = [this](int rc) {
        Notice("mqtt: cannot reach " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
               (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
               "; retrying");
    };
    for (bool first = true; !stop_; first = false) {
        ++attempts_;
        answered_ = false;
        // Non-blocking: the turns below carry the connect through.
        int rc = first ? mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds)
                       : mosquitto_reconnect_async(client_);
        if (rc != MOSQ_ERR_SUCCESS) {
            unreachable(rc);
        } else {
            // Until the connection ends: lost, closed, or refused by the broker.
            do {
                rc = mosquitto_loop(client_, kTurnMs, 1);
            } while (!stop_ && rc == MOSQ_ERR_SUCCESS);
            // No broker answered the connect at all: a refused or silent port.
            if (!stop_ && !answered_) unreachable(rc);
        }
        if (stop_) break;
        // A connection that was up starts the pauses afresh; a broker that
        // refuses every connect (a login, a version) is asked less and less.
        if (reached_.exchange(false)) pause = std::chrono::seconds(1);
        if (!Pause(pause)) break;
        pause = std::min(pause * 2, kLongestPause);
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

void MqttLink::Notice(const std::string& text) {
    {
        const std::lock_guard<std::mutex> lock(link_mutex_);
        // A broker away for an hour is one notice, not one per retry.
        if (text == last_notice_) return;
        last_notice_ = text;
    }
    notice_(text);
}

void MqttLink::OnConnect(mosquitto* client, void* self, int code) {
    auto& link = *static_cast<MqttLink*>(self);
    const std::string where = link.settings_.host + ":" + std::to_string(link.settings_.port);
    // A broker of MQTT 3.1.1 only refuses a version 5 connect: the next
    // attempt speaks 3.1.1, and the one thing that costs is said.
    const bool older_broker = code == CONNACK_REFUSED_PROTOCOL_VERSION || code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
    link.answered_ = true;
    if (code != 0) {
        if (older_broker && !link.mqtt_311_) {
            link.mqtt_311_ = true;
            mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
            link.Notice("mqtt: " + where + " speaks MQTT 3.1.1 only: a write request published retained while " +
                        "connected arrives unmarked and is carried out; reconnecting");
        } else {
            link.Notice("mqtt: " + where + " refused the connection: " + mosquitto_connack_string(code) + "; retrying");
        }
        return;
    }
    link.reached_ = true;
    for (const auto& [topic, handler] : link.handlers_) {
        if (link.mqtt_311_) {
            mosquitto_subscribe(client, nullptr, topic.c_str(), kQos);
        } else {
            mosquitto_subscribe_v5(client, nullptr, topic.c_str(), kQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
        }
    }
    std::size_t flushed = 0;
    {
        const std::lock_guard<std::mutex> lock(link.link_mutex_);
        for (const Message& message : link.queue_) link.Send(message);
        flushed = link.queue_.size();
        link.queue_.clear();
        link.connected_ = true;
    }
    // After what was queued: the meters' own availability, said meanwhile,
    // is in place before the host says it is here.
    link.PublishNow(link.will_.topic, link.will_.online, true);
    link.Notice("mqtt: connected to " + where + (flushed > 0 ? "; sent " + std::to_string(flushed) + " queued" : "") +
                (link.dropped_ > 0 ? "; " + std::to_string(link.dropped_.load()) + " dropped so far" : ""));
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int code) {
    auto& link = *static_cast<MqttLink*>(self);
    bool was_connected = false;
    {
        const std::lock_guard<std::mutex> lock(link.link_mutex_);
        was_connected = link.connected_.exchange(false);
    }
    // A connect the broker refused was said as such.
    if (code != 0 && was_connected && !link.stop_) {
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
