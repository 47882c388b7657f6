#include "host/report/meter_health.h"

void LatencyBuckets::Add(double ms) {
    std::size_t bucket = 0;
    while (bucket < kUpperMs.size() && ms > kUpperMs[bucket]) ++bucket;
    ++counts[bucket];
    sum_ms += ms;
}
