#include "host/http/event_hub.h"

#include "host/common/clock.h"
#include "host/common/json_text.h"

EventHub::EventHub(std::size_t kept, int most_clients, int most_per_share)
    : kept_(kept), most_clients_(most_clients), most_per_share_(most_per_share) {}

std::vector<std::function<void()>> EventHub::Wakes() const {
    std::vector<std::function<void()>> wakes;
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    for (const auto& [id, wake] : wakes_) wakes.push_back(wake);
    return wakes;
}

void EventHub::Publish(const std::string& kind, Json::Value data) {
    // A cycle's and an alarm's events say when the cycle ended; the rest, now.
    if (!data.isMember("utc")) data["utc"] = utc_timestamp();
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
    // Outside the lock: a wake may hand work to a thread that takes frames.
    for (const auto& wake : Wakes()) wake();
}

std::optional<EventHub::Client> EventHub::Join(std::function<void()> wake, const std::string& share) {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    if (closed_ || static_cast<int>(wakes_.size()) >= most_clients_) return std::nullopt;
    if (const auto open = per_share_.find(share); open != per_share_.end() && open->second >= most_per_share_) {
        return std::nullopt;
    }
    const std::uint64_t id = next_id_++;
    wakes_.emplace(id, std::move(wake));
    shares_.emplace(id, share);
    ++per_share_[share];
    return Client(*this, id, last_sequence_);
}

void EventHub::Wake() {
    for (const auto& wake : Wakes()) wake();
}

void EventHub::Close() {
    {
        const std::lock_guard<std::mutex> lock(hub_mutex_);
        if (closed_) return;
        closed_ = true;
    }
    for (const auto& wake : Wakes()) wake();
}

bool EventHub::closed() const {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    return closed_;
}

int EventHub::clients() const {
    const std::lock_guard<std::mutex> lock(hub_mutex_);
    return static_cast<int>(wakes_.size());
}

EventHub::Client::Client(Client&& other) noexcept : hub_(other.hub_), id_(other.id_), after_(other.after_) {
    other.hub_ = nullptr;
}

EventHub::Client::~Client() {
    if (hub_ == nullptr) return;
    const std::lock_guard<std::mutex> lock(hub_->hub_mutex_);
    hub_->wakes_.erase(id_);
    const auto share = hub_->shares_.find(id_);
    if (share == hub_->shares_.end()) return;
    if (--hub_->per_share_[share->second] == 0) hub_->per_share_.erase(share->second);
    hub_->shares_.erase(share);
}

std::vector<std::string> EventHub::Client::Take() {
    const std::lock_guard<std::mutex> lock(hub_->hub_mutex_);
    std::vector<std::string> texts;
    if (hub_->last_sequence_ == after_) return texts;
    if (!hub_->frames_.empty() && hub_->frames_.front().sequence > after_ + 1) {
        texts.push_back("event: lost\ndata: {\"frames\":" + std::to_string(hub_->frames_.front().sequence - after_ - 1) +
                        "}\n\n");
    }
    for (const Frame& frame : hub_->frames_) {
        if (frame.sequence > after_) texts.push_back(frame.text);
    }
    after_ = hub_->last_sequence_;
    return texts;
}
