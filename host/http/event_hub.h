// The live events (cycles, alarm changes, writes, errors) as Server-Sent
// Events frames, for every stream client. Publishing never waits: each
// client is only woken (its wake hands the work to its connection's own
// executor), takes what was published since it last took, and a client
// that falls too far behind loses the oldest frames and is told so.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

class EventHub {
public:
    static constexpr int kMostClients = 64;
    static constexpr int kMostFromOneShare = 8;  // streams from one address (an IPv6 /64)

    explicit EventHub(std::size_t kept = 512, int most_clients = kMostClients, int most_per_share = kMostFromOneShare);

    // Any thread. `data` gains the event's "utc" time.
    void Publish(const std::string& kind, Json::Value data);

    // A stream client's place; its slot is given back when it goes.
    class Client {
    public:
        Client(Client&& other) noexcept;
        ~Client();
        Client(const Client&) = delete;
        Client& operator=(const Client&) = delete;
        Client& operator=(Client&&) = delete;

        // The frames published since the last call (a "lost" frame first
        // when some were let go); none when none came. Never waits.
        std::vector<std::string> Take();

    private:
        friend class EventHub;
        Client(EventHub& hub, std::uint64_t id, std::uint64_t after) : hub_(&hub), id_(id), after_(after) {}
        EventHub* hub_;
        std::uint64_t id_;
        std::uint64_t after_;  // sequence number of the last frame taken
    };

    // `wake` is called after each publication and at Close, from the thread
    // that published: it must only hand work over, and may be called after
    // its client went. `share` is the client's address's share. None when
    // that share or all clients have as many streams open as they may, or
    // after Close.
    std::optional<Client> Join(std::function<void()> wake, const std::string& share = "");
    // Every client woken, with nothing new: each asks again whether it may go on.
    void Wake();
    // Ends every stream: each client is woken once more, and closed() is true.
    void Close();
    bool closed() const;
    int clients() const;  // streams open now

private:
    struct Frame {
        std::uint64_t sequence;
        std::string text;
    };
    std::vector<std::function<void()>> Wakes() const;

    const std::size_t kept_;
    const int most_clients_;
    const int most_per_share_;
    mutable std::mutex hub_mutex_;  // guards everything below
    std::deque<Frame> frames_;
    std::uint64_t last_sequence_ = 0;
    std::map<std::uint64_t, std::function<void()>> wakes_;  // by client id
    std::map<std::uint64_t, std::string> shares_;           // by client id
    std::map<std::string, int> per_share_;                  // streams open
    std::uint64_t next_id_ = 1;
    bool closed_ = false;
};
