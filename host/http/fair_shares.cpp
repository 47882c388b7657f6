#include "host/http/fair_shares.h"

#include <vector>

FairShares::FairShares(int running, int waiting, int in_all)
    : most_running_(running), most_waiting_(waiting), in_all_(in_all) {}

bool FairShares::Enter(const std::string& share, std::function<void()> start) {
    {
        const std::lock_guard<std::mutex> lock(shares_mutex_);
        Share& s = shares_[share];
        if (s.running >= most_running_ || running_ >= in_all_) {
            if (static_cast<int>(s.waiting.size()) >= most_waiting_) {
                if (s.running == 0 && s.waiting.empty()) shares_.erase(share);
                return false;
            }
            s.waiting.push_back(std::move(start));
            return true;
        }
        ++s.running;
        ++running_;
        turn_ = share;
    }
    start();
    return true;
}

void FairShares::Done(const std::string& share) {
    {
        const std::lock_guard<std::mutex> lock(shares_mutex_);
        const auto s = shares_.find(share);
        if (s == shares_.end() || s->second.running == 0) return;
        --s->second.running;
        --running_;
        if (s->second.running == 0 && s->second.waiting.empty()) shares_.erase(s);
    }
    // Outside the lock: a start hands work over and may come back here.
    for (auto& start : Next()) start();
}

std::vector<std::function<void()>> FairShares::Next() {
    std::vector<std::function<void()>> starts;
    const std::lock_guard<std::mutex> lock(shares_mutex_);
    while (running_ < in_all_) {
        // The first share after the last one served that has a line and room.
        auto next = shares_.end();
        auto s = shares_.upper_bound(turn_);
        for (std::size_t seen = 0; seen < shares_.size(); ++seen, ++s) {
            if (s == shares_.end()) s = shares_.begin();
            if (!s->second.waiting.empty() && s->second.running < most_running_) {
                next = s;
                break;
            }
        }
        if (next == shares_.end()) break;
        starts.push_back(std::move(next->second.waiting.front()));
        next->second.waiting.pop_front();
        ++next->second.running;
        ++running_;
        turn_ = next->first;
    }
    return starts;
}

int FairShares::running() const {
    const std::lock_guard<std::mutex> lock(shares_mutex_);
    return running_;
}

int FairShares::waiting() const {
    const std::lock_guard<std::mutex> lock(shares_mutex_);
    int waiting = 0;
    for (const auto& [share, s] : shares_) waiting += static_cast<int>(s.waiting.size());
    return waiting;
}
