// Every record a device stores goes to the history, gathered into one
// transaction per batch interval (or at once when cycles come further
// apart); a record handed back at start is stored as the event it is. A
// busy, full or read-only history is reported once per change and retried,
// never the end of polling; the records it could not take are counted.
#pragma once

#include "host/core/report.h"
#include "host/history/history_db.h"

class HistorySink : public Outlet {
public:
    // `poll_interval_seconds`: how far apart cycles come.
    HistorySink(HistoryDb& history, double batch_seconds, double poll_interval_seconds);

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void CycleOver(int cycle) override;
    // Stores what is left, and writes the log into the file.
    void Finished(const RunSummary& summary) override;
    std::vector<std::string> TakeNotices() override;

    // Every record the devices stored is in the history.
    bool complete() const { return complete_; }

private:
    void CommitIfDue(std::int64_t now_ms);
    void Commit(std::int64_t now_ms);

    HistoryDb& history_;
    const std::int64_t batch_ms_;
    const bool every_record_;  // cycles come no closer than a batch: nothing to gather
    HistoryDb::Outcome state_ = HistoryDb::Outcome::stored;
    std::string said_error_;
    std::int64_t tried_ms_ = 0;
    bool complete_ = true;
    std::vector<std::string> notices_;
};
