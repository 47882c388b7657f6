// A polling thread's sign of life for the service watchdog: the time by
// which it shows the next one, so that a thread asleep until its next
// cycle is as alive as one at work. Beaten by its one thread, read by the
// watchdog's: atomics, no lock on the poll path.
#pragma once

#include <atomic>
#include <limits>

#include "host/common/clock.h"

class Heartbeat {
public:
    // Alive; the next sign comes by `due`.
    void Beat(Clock::time_point due) noexcept { due_.store(due.time_since_epoch().count(), std::memory_order_release); }
    // A thread that has not beaten yet is not known to be alive.
    bool AliveAt(Clock::time_point now) const noexcept {
        return now.time_since_epoch().count() <= due_.load(std::memory_order_acquire);
    }

    // How many of the line's meters answered their last cycle.
    void Answering(int meters) noexcept { answering_.store(meters, std::memory_order_relaxed); }
    int answering() const noexcept { return answering_.load(std::memory_order_relaxed); }

private:
    std::atomic<Clock::duration::rep> due_{std::numeric_limits<Clock::duration::rep>::min()};
    std::atomic<int> answering_{0};
};
