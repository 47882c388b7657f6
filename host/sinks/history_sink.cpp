#include "host/sinks/history_sink.h"

#include <cmath>

HistorySink::HistorySink(HistoryDb& history, double batch_seconds, double poll_interval_seconds, Notices& notices,
                         HistoryHealth* health)
    : history_(history), batch_ms_(std::llround(batch_seconds * 1000)),
      every_record_(poll_interval_seconds >= batch_seconds), notices_(notices), health_(health) {
    // A history that cannot be written from the start was reported with the
    // start; its first failed batch is no news.
    if (!history_.open()) {
        state_ = HistoryDb::Outcome::failed;
        said_error_ = history_.last_error();
        if (health_ != nullptr) health_->Set(HistoryHealth::State::failed);
    }
}

void HistorySink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    const std::uint32_t device = report->meter->data_id;
    if (report->kind == CycleKind::reload && report->Published()) {
        // The record is the newest stored already: its reload is an event,
        // never a reading under the time of the restart.
        const auto newest = history_.Newest(device);
        history_.AddEvent({report->utc_ms, device, "reload",
                           newest ? std::optional<std::int64_t>(newest->t_ms) : std::nullopt,
                           "the newest record handed back to the device at start"});
    } else if (report->kind == CycleKind::poll && !report->stored.empty()) {
        history_.Add(history_row_of(*report));
    }
    // Every rise and clear, beside the record of the cycle it changed in.
    for (const AlarmChange& change : report->alarm_changes) {
        const AlarmOutcome& o = change.outcome;
        history_.AddAlarm({report->utc_ms, device, o.key, change.up, o.level, o.value, o.compared, o.threshold,
                           o.reading != nullptr ? o.reading->unit : "", o.text, o.rule != nullptr ? o.rule->Label() : ""});
    }
    CommitIfDue(report->utc_ms);
}

void HistorySink::CycleOver(const LineInfo&, int) { CommitIfDue(utc_now_ms()); }

void HistorySink::CommitIfDue(std::int64_t now_ms) {
    if (history_.idle()) return;
    const auto since = history_.pending_since();
    // An event or a meter's name with no record waiting goes at once.
    const bool due = !since || every_record_ || now_ms - *since >= batch_ms_;
    // A history that failed is tried again a batch interval later, not at every cycle.
    const bool resting = state_ != HistoryDb::Outcome::stored && now_ms - tried_ms_ < batch_ms_;
    if (due && !resting) Commit(now_ms);
}

void HistorySink::Commit(std::int64_t now_ms) {
    const std::size_t held = history_.pending();
    const HistoryDb::Outcome outcome = history_.Commit();
    tried_ms_ = now_ms;
    if (outcome == HistoryDb::Outcome::stored) {
        if (state_ != HistoryDb::Outcome::stored) {
            notices_.SayFault("history storing again: " + std::to_string(held) + " held record(s) stored" +
                               (history_.dropped() > 0 ? "; " + std::to_string(history_.dropped()) +
                                                             " dropped while it could not store"
                                                       : ""),
                              true);
        }
    } else if (outcome != state_ || (outcome == HistoryDb::Outcome::failed && history_.last_error() != said_error_)) {
        notices_.SayFault(outcome == HistoryDb::Outcome::busy
                              ? "history busy (locked by another process): " + std::to_string(history_.pending()) +
                                    " record(s) held, retried with the next batch"
                              : "history cannot store (" + history_.last_error() + "): " +
                                    std::to_string(history_.pending()) + " record(s) held, retried",
                          false);
        said_error_ = history_.last_error();
    }
    state_ = outcome;
    if (health_ != nullptr) {
        health_->Set(outcome == HistoryDb::Outcome::stored  ? HistoryHealth::State::storing
                     : outcome == HistoryDb::Outcome::busy ? HistoryHealth::State::held
                                                           : HistoryHealth::State::failed);
    }
}

void HistorySink::Finished() {
    Commit(utc_now_ms());
    history_.Checkpoint();
    if (history_.pending() == 0 && history_.dropped() == 0 && missed_records_ == 0) return;
    complete_ = false;
    const std::size_t lost = history_.pending() + history_.dropped() + missed_records_;
    Say(state_ == HistoryDb::Outcome::busy
                           ? "history still locked by another process: " + std::to_string(lost) + " record(s) not stored"
                           : "history: " + std::to_string(lost) + " record(s) not stored (" + history_.last_error() + ")");
}

HistoryRow history_row_of(const CycleReport& report) {
    HistoryRow row{report.utc_ms, report.meter->data_id, report.record_id, report.stored, {}};
    // What the device stored is what it published; columns from anything
    // else would need a decoding of their own.
    if (report.stored == report.record) {
        row.counts.assign(kMeterReadings.size(), std::nullopt);
        for (const Quantity& quantity : report.quantities) {
            row.counts[static_cast<std::size_t>(quantity.reading - kMeterReadings.data())] = quantity.count;
        }
    } else {
        row.counts = history_counts_of(report.stored);
    }
    return row;
}
