// What one meter did over the run: counts, failures by cause, and the
// latency, wire time and turn-around of its requests, in constant memory.
// The poll loop keeps one per meter; every report carries its MeterHealth,
// which the summary, the page, the API and the broker all read.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "host/core/value_summary.h"
#include "host/line/line_settings.h"
#include "host/line/modbus_line.h"

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
    Spread latency;     // per answered request: request sent to answer taken
    LatencyBuckets latency_buckets;  // the same, counted
    Spread wire;        // the request's and the answer's wire time at the line's speed; serial lines only
    Spread turnaround;  // the meter's: latency less wire time; lines whose frames take their wire time only
    std::string last_error;  // "read 1792/22: timeout: Connection timed out"
    std::string last_error_utc;
    int backed_off_until = 0;  // the cycle the meter is tried again; 0: polled every cycle

    double MeanCycleMs() const { return completed > 0 ? completed_ms / completed : 0.0; }
};

class MeterStatistics {
public:
    // Over TCP no serial line is in sight, not even a gateway's: no wire
    // time. Without `frames_take_wire_time` (an unpaced pseudo-terminal) the
    // latency is no wire time plus a turn-around: none is worked out.
    MeterStatistics(const LineSettings& line, bool frames_take_wire_time);

    void Exchanged(const Exchange& exchange);
    void Completed(double milliseconds);
    void Failed(bool answered);  // answered: every request was, yet no record was published
    void Skipped() { ++health_.skipped; }
    void BackedOff(int until_cycle) { health_.backed_off_until = until_cycle; }

    MeterHealth Health() const;

private:
    const LineSettings& line_;
    const bool frames_take_wire_time_;
    MeterHealth health_;  // the counts; the spreads come from the summaries
    ValueSummary latency_, wire_, turnaround_;
};
