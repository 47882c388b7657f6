// What the bench host shows people: a line per cycle with each quantity as
// the meter reports it beside the controller's whole-number snapshot,
// alarms, troubles with the line, and the summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/core/report.h"
#include "host/core/settings.h"

class ConsoleSink : public Outlet {
public:
    ConsoleSink(std::FILE* out, Verbosity verbosity, bool show_snapshot_text)
        : out_(out), verbosity_(verbosity), show_snapshot_text_(show_snapshot_text) {}

    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void SlotsSkipped(int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void Finished(const RunSummary& summary) override;

private:
    void Line(const std::string& text);
    void Troubles(const std::vector<Exchange>& troubled, int cycle, std::uint32_t data_id);
    void Readings(const CycleReport& report);

    std::FILE* out_;
    Verbosity verbosity_;
    bool show_snapshot_text_;
    bool progress_shown_ = false;
};

// The table of readings for one record, beside the snapshot's values.
std::string readings_table(const std::vector<unsigned char>& record, const Json::Value& snapshot);
