#include "host/core/meter_statistics.h"

#include "host/common/clock.h"

MeterStatistics::MeterStatistics(const LineSettings& line, bool frames_take_wire_time)
    : line_(line), frames_take_wire_time_(frames_take_wire_time) {
    // Every cause from the start, at 0: a rate over the first failure needs
    // the count before it.
    for (const Exchange::Outcome cause : {Exchange::timeout, Exchange::crc, Exchange::bad_data, Exchange::exception,
                                          Exchange::failed}) {
        health_.failures[outcome_name(cause)] = 0;
    }
    health_.failures["incomplete"] = 0;
}

void MeterStatistics::Exchanged(const Exchange& exchange) {
    health_.retries += exchange.attempts > 1 ? exchange.attempts - 1 : 0;
    if (exchange.outcome != Exchange::answered) {
        ++health_.failures[outcome_name(exchange.outcome)];
        health_.last_error = exchange.request + ": " + outcome_name(exchange.outcome) + ": " + exchange.message;
        health_.last_error_utc = utc_timestamp();
        return;
    }
    latency_.Add(exchange.latency_ms);
    health_.latency_buckets.Add(exchange.latency_ms);
    if (line_.IsTcp()) return;
    const double wire = WireMs(FrameBytes{exchange.request_bytes, exchange.answer_bytes});
    wire_.Add(wire);
    if (frames_take_wire_time_) turnaround_.Add(exchange.latency_ms - wire);
}

std::optional<double> MeterStatistics::SlowestTurnaroundMs() const {
    if (line_.IsTcp()) return std::nullopt;
    return frames_take_wire_time_ ? turnaround_.Max() : latency_.Max();
}

double MeterStatistics::WireMs(const FrameBytes& frames) const {
    // Both frames and the 3.5-character silence before each.
    const double characters = frames.request + frames.answer + 2 * 3.5;
    return characters * line_.BitsPerCharacter() * 1000.0 / line_.baud;
}

void MeterStatistics::Completed(int cycle, double milliseconds) {
    ++health_.completed;
    health_.last_completed = cycle;
    health_.last_cycle_failed = false;
    health_.completed_ms += milliseconds;
    health_.backed_off_until = 0;
}

void MeterStatistics::Failed(bool answered) {
    ++health_.failed;
    health_.last_cycle_failed = true;
    if (answered) ++health_.failures["incomplete"];
}

MeterHealth MeterStatistics::Health() const {
    MeterHealth health = health_;
    health.latency = latency_.Now();
    health.wire = wire_.Now();
    health.turnaround = turnaround_.Now();
    return health;
}
