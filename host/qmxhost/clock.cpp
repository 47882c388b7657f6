#include "host/qmxhost/clock.h"

#include <time.h>

#include <cerrno>

Clock::time_point SteadyClock::Now() { return std::chrono::steady_clock::now(); }

// steady_clock is CLOCK_MONOTONIC on Linux; a signal ends the sleep with
// EINTR, so Ctrl-C never waits out a long interval.
bool SteadyClock::SleepUntil(time_point until, const volatile std::sig_atomic_t& stop) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000LL);
    while (!stop) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0) return !stop;
        if (rc != EINTR) return !stop;
    }
    return false;
}
