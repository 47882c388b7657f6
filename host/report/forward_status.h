// How far the central history is behind this box's file, as the forwarder
// last looked: written by the forwarder's thread, read by the page, the
// API and /metrics on theirs. A copy is taken under the mutex; nothing
// waits on the network for it.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <mutex>
#include <string>

struct ForwardFigures {
    std::string target;               // the central database as people name it: host:port/database
    bool forwarding = false;          // connected, the site id ours, the last batch taken
    std::string problem;              // what keeps it from forwarding now; empty: nothing
    std::int64_t records_behind = 0;  // raw records in the file the central history has not yet
    std::int64_t oldest_behind_ms = 0;  // the first of them, UTC milliseconds; 0: none
    std::uint64_t forwarded = 0;      // rows of every kind committed centrally by this run
    std::uint64_t expired = 0;        // raw records the raw window deleted before they were forwarded
    std::int64_t last_commit_ms = 0;  // of the last central commit, UTC milliseconds; 0: none yet

    // How old the oldest record not yet central is at `now_ms`; 0 when none is.
    double SecondsBehind(std::int64_t now_ms) const;
};

class ForwardStatus {
public:
    explicit ForwardStatus(std::string target) { figures_.target = std::move(target); }

    template <typename Change>
    void Update(Change change) {
        const std::lock_guard<std::mutex> lock(status_mutex_);
        change(figures_);
    }
    ForwardFigures Figures() const {
        const std::lock_guard<std::mutex> lock(status_mutex_);
        return figures_;
    }

private:
    mutable std::mutex status_mutex_;  // guards figures_
    ForwardFigures figures_;
};

// The API's `forwarder` member.
Json::Value forward_json(const ForwardFigures& figures, std::int64_t now_ms);
