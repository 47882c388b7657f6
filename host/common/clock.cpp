#include "host/common/clock.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

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

std::string utc_timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[24];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char with_ms[32];
    std::snprintf(with_ms, sizeof with_ms, "%s.%03dZ", text, static_cast<int>(ms));
    return with_ms;
}
