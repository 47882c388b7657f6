// Places for heavy requests, shared fairly among clients. Each client (its
// address's share) has at most `running` requests under way and `waiting`
// more in line; all told at most `in_all` are under way. A place that
// frees goes to the next client in turn, so one client's line never
// stands before another's.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class FairShares {
public:
    FairShares(int running, int waiting, int in_all);

    // `start` runs when the request has its place: at once on this thread,
    // or later on the thread of the Done that freed one. It must only hand
    // work over. False, and `start` never runs, when the client's line is full.
    bool Enter(const std::string& share, std::function<void()> start);
    // A request of `share` that started is over; its place goes on.
    void Done(const std::string& share);

    int running() const;  // under way now, all told
    int waiting() const;  // in line now, all told

private:
    struct Share {
        int running = 0;
        std::deque<std::function<void()>> waiting;
    };
    // The starts that may go now, taken from their lines in turn.
    std::vector<std::function<void()>> Next();

    const int most_running_;
    const int most_waiting_;
    const int in_all_;
    mutable std::mutex shares_mutex_;  // guards shares_, running_ and turn_
    std::map<std::string, Share> shares_;
    int running_ = 0;
    std::string turn_;  // the share that had the last place given from a line
};
