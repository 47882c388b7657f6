// How old a meter's values may be and still be served as current, by every
// outlet that serves them on request (the HTTP API, /metrics, the Modbus
// server), as the plug-in's value query judges them.
#pragma once

#include <optional>

#include "host/common/clock.h"

// Seconds after the last completed cycle past which the values are stale.
constexpr double kStaleAfterSeconds = 60.0;

struct Freshness {
    std::optional<double> age_s;  // since the last completed cycle; none before one
    bool stale = true;
};

// The freshness of values whose cycle completed at `completed_at`, at `now`.
inline Freshness freshness_of(const std::optional<Clock::time_point>& completed_at, Clock::time_point now) {
    if (!completed_at) return {};
    const double age = milliseconds_between(*completed_at, now) / 1000.0;
    return {age, age > kStaleAfterSeconds};
}
