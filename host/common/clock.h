// Time as the poll loop and the line see it, so that tests can run the
// schedule, back-off and retry delays without waiting.
#pragma once

#include <chrono>
#include <csignal>
#include <string>

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    using duration = std::chrono::steady_clock::duration;
    virtual ~Clock() = default;
    virtual time_point Now() = 0;
    // Returns at `until`, or early with false once `stop` is raised.
    virtual bool SleepUntil(time_point until, const volatile std::sig_atomic_t& stop) = 0;
};

class SteadyClock : public Clock {
public:
    time_point Now() override;
    bool SleepUntil(time_point until, const volatile std::sig_atomic_t& stop) override;
};

// The wall-clock time now in UTC, ISO 8601 with milliseconds, as events and
// history rows carry it.
std::string utc_timestamp();

inline double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}
