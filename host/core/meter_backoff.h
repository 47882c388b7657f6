// A meter that stops answering is asked less and less often, so that its
// timeouts do not eat the line time of the meters that still answer.
#pragma once

#include <algorithm>

class MeterBackoff {
public:
    static constexpr int kFailuresBeforePause = 3;
    static constexpr int kLongestPause = 32;  // cycles

    bool DueIn(int cycle) const { return cycle >= next_cycle_; }
    int failures() const { return failures_; }
    int next_cycle() const { return next_cycle_; }

    // After a failed cycle; the cycles now left out (0: none). The pause
    // doubles with every further failure, up to kLongestPause.
    int Failed(int cycle) {
        ++failures_;
        if (failures_ < kFailuresBeforePause) return 0;
        const int doublings = std::min(failures_ - kFailuresBeforePause, 5);
        const int pause = std::min(1 << doublings, kLongestPause);
        next_cycle_ = cycle + pause + 1;
        return pause;
    }

    // After a completed cycle; true when the meter had been paused.
    bool Completed() {
        const bool was_paused = failures_ >= kFailuresBeforePause;
        failures_ = 0;
        next_cycle_ = 0;
        return was_paused;
    }

private:
    int failures_ = 0;
    int next_cycle_ = 0;
};
