// Stores every record a device stores in its history, as a poll or a
// reload row; a busy database is reported and retried, never the end of
// polling.
#pragma once

#include "host/core/report.h"
#include "host/history/history_db.h"

class HistorySink : public Outlet {
public:
    explicit HistorySink(HistoryDb& history) : history_(history) {}

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    // Stores what a lock held back, a last time.
    void Finished(const RunSummary& summary) override;
    std::vector<std::string> TakeNotices() override;

    // Every record the devices stored is in the history.
    bool complete() const { return complete_; }

private:
    HistoryDb& history_;
    bool was_busy_ = false;
    bool complete_ = true;
    std::vector<std::string> notices_;
};
