// What an energy counter may do between two readings: a step a feeder's
// consumption can make. A step back (a reset, a rollover) or too far up (a
// replaced meter) is no consumption; the history's writer marks where one
// happened at the records' resolution, and the energy reader leaves it out.
#pragma once

#include <cstdint>

// No feeder of a site this bench host serves draws 5 MW.
inline constexpr double kMostFeederWatts = 5e6;
inline constexpr std::int64_t kCounterSlack = 10;  // counts of rounding beside it

// A counter's step of `step` counts over `ms` milliseconds.
inline bool plausible_step(std::int64_t step, std::int64_t ms) {
    const double most = kMostFeederWatts * static_cast<double>(ms) / 3.6e6 + static_cast<double>(kCounterSlack);
    return step >= 0 && static_cast<double>(step) <= most;
}
