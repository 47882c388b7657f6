// Time as the poll loop and the line see it, so that tests can run the
// schedule, back-off and retry delays without waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "host/common/stop_signal.h"

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    using duration = std::chrono::steady_clock::duration;
    virtual ~Clock() = default;
    virtual time_point Now() = 0;
    // Returns at `until`, or early with false once `stop` is raised.
    virtual bool SleepUntil(time_point until, const StopSignal& stop) = 0;
};

class SteadyClock : public Clock {
public:
    time_point Now() override;
    bool SleepUntil(time_point until, const StopSignal& stop) override;
};

// The wall-clock time now, as milliseconds since the epoch (UTC).
std::int64_t utc_now_ms();
// A UTC time in ISO 8601 with milliseconds, as events and history rows
// carry it: 2026-12-09T10:00:00.123Z.
std::string utc_text(std::int64_t utc_ms);
// The wall-clock time now in that form.
std::string utc_timestamp();
// 2026-12-09T10:00:00 with an optional .m to .mmm and an optional Z, read
// as UTC; nothing when the text is no such time (a 13th month, a 25th hour).
std::optional<std::int64_t> utc_ms_from_text(const std::string& text);

inline double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}
