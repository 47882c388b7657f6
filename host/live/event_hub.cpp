#include "host/live/event_hub.h"

#include "host/common/json_text.h"
#include "host/common/clock.h"

EventHub::EventHub(std::size_t kept, int most_clients) : kept_(kept), most_clients_(most_clients) {}

void EventHub::Publish(const std::string& kind, Json::Value data) {
    data["utc"] = utc_timestamp();
    // The JSON writer escapes line breaks inside strings, so the data is one line.
    const std::string body = compact_json(data);
    {
        const std::lock_guard<std::mutex> lock(hub_mutex_);
        if (closed_) return;
        ++last_sequence_;
        frames_.push_back(
            {last_sequence_, "id: " + std::to_string(last_sequence_) + "\nevent: " + kind + "\ndata: " + body + "\n\n"});
        if (frames_.size() > kept_) frames_.pop_front();
    }
    published_.notify_all();
}

std::optional<EventHub::Client> EventHub::Join() {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    if (closed_ || clients_ >= most_clients_) return std::nullopt;
    ++clients_;
    return Client(*this, last_sequence_);
}

void EventHub::Close() {
    {
        const std::lock_guard<std::mutex> lock(hub_mutex_);
        closed_ = true;
    }
    published_.notify_all();
}

bool EventHub::closed() const {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    return closed_;
}

int EventHub::clients() const {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    return clients_;
}

EventHub::Client::Client(Client&& other) noexcept : hub_(other.hub_), after_(other.after_) { other.hub_ = nullptr; }

EventHub::Client::~Client() {
    if (hub_ == nullptr) return;
    const std::lock_guard<std::mutex> lock(hub_->hub_mutex_);
    --hub_->clients_;
}

std::vector<std::string> EventHub::Client::Next(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(hub_->hub_mutex_);
    hub_->published_.wait_for(lock, wait, [&] { return hub_->closed_ || hub_->last_sequence_ > after_; });
    std::vector<std::string> texts;
    if (hub_->closed_) return texts;
    if (!hub_->frames_.empty() && hub_->frames_.front().sequence > after_ + 1) {
        texts.push_back("event: lost\ndata: {\"frames\":" +
                        std::to_string(hub_->frames_.front().sequence - after_ - 1) + "}\n\n");
    }
    for (const Frame& frame : hub_->frames_) {
        if (frame.sequence > after_) texts.push_back(frame.text);
    }
    after_ = hub_->last_sequence_;
    return texts;
}
