#include "host/core/value_summary.h"

#include <boost/accumulators/accumulators.hpp>
#include <boost/accumulators/statistics/extended_p_square.hpp>
#include <boost/accumulators/statistics/stats.hpp>

#include <algorithm>
#include <vector>

namespace acc = boost::accumulators;

namespace {
constexpr std::array<double, 2> kProbabilities = {0.5, 0.99};

// The value below which `p` of the sorted `values` lie, interpolated.
double quantile(const std::vector<double>& sorted, double p) {
    const double at = p * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    if (below + 1 >= sorted.size()) return sorted.back();
    return sorted[below] + (at - static_cast<double>(below)) * (sorted[below + 1] - sorted[below]);
}
}  // namespace

struct ValueSummary::Estimator {
    acc::accumulator_set<double, acc::stats<acc::tag::extended_p_square>> quantiles{
        acc::tag::extended_p_square::probabilities = kProbabilities};
};

ValueSummary::ValueSummary() : estimator_(std::make_unique<Estimator>()) {}
ValueSummary::~ValueSummary() = default;

void ValueSummary::Add(double value) {
    if (count_ < kExact) first_[count_] = value;
    min_ = count_ == 0 ? value : std::min(min_, value);
    max_ = count_ == 0 ? value : std::max(max_, value);
    sum_ += value;
    ++count_;
    estimator_->quantiles(value);
}

Spread ValueSummary::Now() const {
    Spread spread;
    if (count_ == 0) return spread;
    spread.count = count_;
    spread.min = min_;
    spread.max = max_;
    spread.mean = sum_ / static_cast<double>(count_);
    if (count_ <= kExact) {
        std::vector<double> sorted(first_.begin(), first_.begin() + static_cast<std::ptrdiff_t>(count_));
        std::sort(sorted.begin(), sorted.end());
        spread.median = quantile(sorted, kProbabilities[0]);
        spread.p99 = quantile(sorted, kProbabilities[1]);
        return spread;
    }
    const auto estimates = acc::extended_p_square(estimator_->quantiles);
    // An estimate never lies outside what was seen.
    spread.median = std::clamp(estimates[0], min_, max_);
    spread.p99 = std::clamp(estimates[1], min_, max_);
    return spread;
}
