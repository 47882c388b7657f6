// Every record a device stores goes to the history, gathered into one
// transaction per batch interval (or at once when cycles come further
// apart), with every alarm rule's rise and clear; a record handed back at
// start is stored as the event it is. On
// the outlet's own thread: a slow disk's fsync holds up no line. A busy,
// full or read-only history is said once per change and retried, never the
// end of polling; the records it could not take are counted.
#pragma once

#include "host/report/history_health.h"

#include "host/history/history_db.h"
#include "host/report/report.h"

class HistorySink : public Outlet {
public:
    // `poll_interval_seconds`: how far apart cycles come.
    // `health`, when given, is told how each batch fared.
    HistorySink(HistoryDb& history, double batch_seconds, double poll_interval_seconds, Notices& notices,
                HistoryHealth* health = nullptr);

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void CycleOver(const LineInfo& line, int cycle) override;
    // Stores what is left, and writes the log into the file.
    void Finished() override;
    // Records the mailbox let go never reach the file.
    void Missed(const Gap& gap) override { missed_records_ += gap.records; }

    // Every record the devices stored is in the history; once Finished.
    bool complete() const { return complete_; }

private:
    void CommitIfDue(std::int64_t now_ms);
    void Commit(std::int64_t now_ms);
    void Say(const std::string& text) { notices_.Say(text); }

    HistoryDb& history_;
    const std::int64_t batch_ms_;
    const bool every_record_;  // cycles come no closer than a batch: nothing to gather
    Notices& notices_;
    HistoryHealth* health_;
    HistoryDb::Outcome state_ = HistoryDb::Outcome::stored;
    std::string said_error_;
    std::int64_t tried_ms_ = 0;
    std::size_t missed_records_ = 0;
    bool complete_ = true;
};

// The row of a report's stored record, its quantities as the report decoded them.
HistoryRow history_row_of(const CycleReport& report);
