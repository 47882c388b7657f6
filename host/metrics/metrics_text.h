// The meters as Prometheus scrapes them: its text format, every quantity a
// gauge in base units (volts, amperes, watts, hertz, ratio), the energies
// counters (active energy in joules, beside the meter's own watt-hours),
// each rule's state, and each meter's cycles, failures, retries and request
// latency. Names follow Prometheus' rules under the prefix qv5810_; every
// sample carries the meter's data id, name, slave and line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/common/clock.h"
#include "host/report/forward_status.h"
#include "host/report/report.h"

// What the run adds beside its meters: its version, and each line's slots
// skipped because the cycle before overran its interval.
struct MetricsRun {
    std::string version;
    std::vector<std::pair<std::string, std::uint64_t>> skipped_slots;  // by line name, every line from the start
};

// Values older than the freshness limit are left out, as are rules the
// device did not judge: what is shown was measured recently.
std::string metrics_text(const std::vector<const MeterState*>& meters, const MetricsRun& run, Clock::time_point now);

// The forwarder's way to a central database: whether it forwards, the raw
// records and seconds it is behind, the rows it forwarded and the records
// that expired before it could; labelled with the database.
std::string forward_metrics_text(const ForwardFigures& figures, std::int64_t now_ms);
