// Stores every record a device saves in the history, as a poll or a reload
// row; a busy database is reported and retried, never the end of polling.
#pragma once

#include "host/qmxhost/history_db.h"
#include "host/qmxhost/report_sink.h"

class HistorySink : public ReportSink {
public:
    // `problems` hears of a busy history (the console and JSON sinks).
    HistorySink(HistoryDb& history, ReportSink& problems) : history_(history), problems_(problems) {}

    void StoringAs(RecordKind kind) override { kind_ = kind; }
    void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) override;

private:
    HistoryDb& history_;
    ReportSink& problems_;
    RecordKind kind_ = RecordKind::poll;
    bool was_busy_ = false;
};
