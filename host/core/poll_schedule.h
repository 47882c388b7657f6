// The poll loop's fixed rate: slot k starts at start + k × interval. A loop
// that fell behind (a dead meter, a slow line) leaves out the slots already
// past rather than running them back to back to catch up.
#pragma once

#include "host/common/clock.h"

class PollSchedule {
public:
    PollSchedule(Clock::time_point start, Clock::duration interval) : start_(start), interval_(interval) {}

    // The start of the next slot not yet past at `now`; `skipped` counts
    // the slots left out.
    Clock::time_point Next(Clock::time_point now, int& skipped) {
        skipped = 0;
        if (interval_ <= Clock::duration::zero()) return now;
        ++slot_;
        if (SlotStart(slot_) < now) {
            // The first slot that starts at `now` or later.
            const long long first_ahead = (now - start_ + interval_ - Clock::duration(1)) / interval_;
            skipped = static_cast<int>(first_ahead - slot_);
            slot_ = first_ahead;
        }
        return SlotStart(slot_);
    }

private:
    Clock::time_point SlotStart(long long slot) const { return start_ + interval_ * slot; }

    Clock::time_point start_;
    Clock::duration interval_;
    long long slot_ = 0;
};
