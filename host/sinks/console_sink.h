// What the bench host shows people: a table per cycle with each quantity as
// the meter reports it beside the controller's whole-number snapshot, and a
// summary per line. What changed gets a line of its own in every verbosity,
// so that a service's journal holds it with the tables left out: an alarm's
// rise and clear, a meter failing, backing off and answering again, and the
// troubles of the outlets. Rendered on the outlet's thread; written by a
// LineWriter, which never holds the run up.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/config/settings.h"
#include "host/report/report.h"
#include "host/sinks/line_writer.h"

class ConsoleSink : public Outlet {
public:
    ConsoleSink(LineWriter& out, Verbosity verbosity, bool show_snapshot_text)
        : out_(out), verbosity_(verbosity), show_snapshot_text_(show_snapshot_text) {}

    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void SlotsSkipped(const LineInfo& line, int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void LineEnded(const RunSummary& summary) override;
    void Finished() override;
    void Missed(const Gap& gap) override;

private:
    void Line(const std::string& text);
    void Troubles(const std::vector<RequestTrouble>& troubled, int cycle, const DeviceConfig& meter);
    void Readings(const CycleReport& report);
    void Changes(const CycleReport& report);

    // What the output last said of a meter.
    struct Told {
        int failed_cycles = 0;  // in a row
        int pause = 0;          // cycles left out by its back-off
    };

    LineWriter& out_;
    Verbosity verbosity_;
    bool show_snapshot_text_;
    bool progress_shown_ = false;
    std::map<std::uint32_t, Told> told_;  // by data id
};

// The table of readings of one report, beside the snapshot's values.
std::string readings_table(const CycleReport& report);
