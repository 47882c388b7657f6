#include "host/sinks/history_sink.h"

void HistorySink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    if (report->stored.empty()) return;
    const RecordKind kind = report->kind == CycleKind::reload ? RecordKind::reload : RecordKind::poll;
    const bool stored = history_.Store(report->meter->data_id, report->record_id, kind, report->stored);
    if (!stored) {
        notices_.push_back("history busy (locked by another process): " + std::to_string(history_.held()) +
                           " record(s) held, retried with the next one");
    } else if (was_busy_) {
        notices_.emplace_back("history free again: every held record stored");
    }
    if (history_.dropped() > 0 && !stored) {
        notices_.push_back("history: " + std::to_string(history_.dropped()) + " oldest held record(s) dropped");
    }
    was_busy_ = !stored;
}

void HistorySink::Finished(const RunSummary&) {
    if (history_.StoreHeld()) return;
    complete_ = false;
    notices_.push_back("history still locked by another process: " + std::to_string(history_.held()) +
                       " record(s) not stored");
}

std::vector<std::string> HistorySink::TakeNotices() {
    std::vector<std::string> taken;
    taken.swap(notices_);
    return taken;
}
