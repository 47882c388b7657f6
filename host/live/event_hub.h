// The live events (cycles, alarm changes, writes, errors) as Server-Sent
// Events frames, for every stream client. The poll loop publishes and never
// waits: a client that falls too far behind loses the oldest frames, and
// is told so, rather than holding anything back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

class EventHub {
public:
    explicit EventHub(std::size_t kept = 512, int most_clients = 8);

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

        // The frames published since the last call, waiting up to `wait`
        // for one. Empty when none came or the hub is closed.
        std::vector<std::string> Next(std::chrono::milliseconds wait);

    private:
        friend class EventHub;
        Client(EventHub& hub, std::uint64_t after) : hub_(&hub), after_(after) {}
        EventHub* hub_;
        std::uint64_t after_;  // sequence number of the last frame taken
    };

    // None when `most_clients` streams are open already.
    std::optional<Client> Join();
    // Ends every stream: waiting clients wake, and Next returns nothing more.
    void Close();
    bool closed() const;
    int clients() const;  // streams open now

private:
    struct Frame {
        std::uint64_t sequence;
        std::string text;
    };

    const std::size_t kept_;
    const int most_clients_;
    mutable std::mutex hub_mutex_;  // guards everything below
    std::condition_variable published_;
    std::deque<Frame> frames_;
    std::uint64_t last_sequence_ = 0;
    int clients_ = 0;
    bool closed_ = false;
};
