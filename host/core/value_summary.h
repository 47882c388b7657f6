// A stream of values (times in ms) summed up in constant memory, however
// long the run: count, min, max, mean, and the median and 99th percentile.
// The first kExact values are kept and their quantiles are exact; beyond
// them the quantiles are the P² algorithm's estimates (Boost.Accumulators'
// extended_p_square), which has followed every value from the first.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

#include "host/report/meter_health.h"

class ValueSummary {
public:
    static constexpr std::size_t kExact = 128;

    ValueSummary();
    ~ValueSummary();
    ValueSummary(const ValueSummary&) = delete;
    ValueSummary& operator=(const ValueSummary&) = delete;

    void Add(double value);
    Spread Now() const;  // all zero before the first value
    // The largest so far, without the quantiles' cost; none before the first value.
    std::optional<double> Max() const { return count_ > 0 ? std::optional<double>(max_) : std::nullopt; }

private:
    struct Estimator;
    std::unique_ptr<Estimator> estimator_;
    std::array<double, kExact> first_{};
    std::size_t count_ = 0;
    double min_ = 0, max_ = 0, sum_ = 0;
};
