// What one meter did over the run, as every outlet shows it: counts,
// failures by cause, and the spread of its requests' latency, wire time and
// turn-around. The poll loop keeps the figures; each report carries a copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// A stream of times in ms summed up: count, min, max, mean, median, p99.
struct Spread {
    std::size_t count = 0;
    double min = 0, max = 0, mean = 0, median = 0, p99 = 0;
};

// Answered requests' latency counted in fixed buckets, as a scraper's
// histogram takes it: constant memory, exact counts.
struct LatencyBuckets {
    static constexpr std::array<double, 11> kUpperMs{5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000};
    std::array<std::uint64_t, kUpperMs.size() + 1> counts{};  // the last: beyond every bound
    double sum_ms = 0;

    void Add(double ms);
};

struct MeterHealth {
    int completed = 0;
    int failed = 0;
    int skipped = 0;  // cycles left out while backed off
    int retries = 0;
    double completed_ms = 0;              // the completed cycles' time, together
    std::map<std::string, int> failures;  // by cause: timeout, crc, bad_data, exception, interrupted, error, incomplete
    Spread latency;                       // per answered request: request sent to answer taken
    LatencyBuckets latency_buckets;       // the same, counted
    Spread wire;        // the request's and the answer's wire time at the line's speed; serial lines only
    Spread turnaround;  // the meter's: latency less wire time; lines whose frames take their wire time only
    std::string last_error;  // "read 1792/22: timeout: Connection timed out"
    std::string last_error_utc;
    int backed_off_until = 0;    // the cycle the meter is tried again; 0: polled every cycle
    int last_completed = 0;      // the number of its latest completed cycle; 0: none yet
    bool last_cycle_failed = false;  // its latest cycle published nothing: what is shown is older

    double MeanCycleMs() const { return completed > 0 ? completed_ms / completed : 0.0; }
};
