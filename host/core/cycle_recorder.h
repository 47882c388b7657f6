// The controller's side of one device as the poll loop sees it: what the
// device publishes, stores and reports during a cycle is kept for that
// cycle's report. Everything else the controller does is the runtime's.
#pragma once

#include <vector>

#include "host/report/report.h"
#include "host/runtime/host_sink.h"

class CycleRecorder : public HostSink {
public:
    // From here to End, the device's effects go into `report`, its alarm
    // reports into alarms().
    void Begin(CycleReport& report) {
        report_ = &report;
        alarms_.clear();
    }
    void End() { report_ = nullptr; }
    const std::vector<AlarmReport>& alarms() const { return alarms_; }

    void Published(const QMXVDevice&, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override {
        if (report_ == nullptr) return;
        report_->record.assign(data, data + (length > 0 ? length : 0));
        report_->record_id = data_id;
        report_->delayed = delayed;
    }
    void HistoryStored(const QMXVDevice&, const unsigned char* data, int length) override {
        if (report_ != nullptr) report_->stored.assign(data, data + (length > 0 ? length : 0));
    }
    void AlarmReported(const QMXVDevice&, const AlarmCall& call) override {
        if (report_ != nullptr) alarms_.push_back(call.Keep());
    }

private:
    CycleReport* report_ = nullptr;
    std::vector<AlarmReport> alarms_;
};
