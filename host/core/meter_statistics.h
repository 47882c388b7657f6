// What one meter did over the run, kept by the poll loop in constant memory:
// every report carries the MeterHealth it makes.
#pragma once

#include <optional>

#include "host/config/line_settings.h"
#include "host/core/value_summary.h"
#include "host/line/modbus_line.h"
#include "host/report/meter_health.h"

class MeterStatistics {
public:
    // Over TCP no serial line is in sight, not even a gateway's: no wire
    // time. Without `frames_take_wire_time` (an unpaced pseudo-terminal) the
    // latency is no wire time plus a turn-around: none is worked out.
    MeterStatistics(const LineSettings& line, bool frames_take_wire_time);

    void Exchanged(const Exchange& exchange);
    void Completed(int cycle, double milliseconds);
    void Failed(bool answered);  // answered: every request was, yet no record was published
    void Skipped() { ++health_.skipped; }
    void BackedOff(int until_cycle) { health_.backed_off_until = until_cycle; }

    MeterHealth Health() const;
    // The longest the meter took to answer beyond its frames' own time on
    // the wire (all of its latency where frames take none); none before its
    // first answer, and none over Modbus TCP.
    std::optional<double> SlowestTurnaroundMs() const;
    // The wire time of a request and its answer at the line's speed, with
    // the silence before each.
    double WireMs(const FrameBytes& frames) const;

private:
    const LineSettings& line_;
    const bool frames_take_wire_time_;
    MeterHealth health_;  // the counts; the spreads come from the summaries
    ValueSummary latency_, wire_, turnaround_;
};
