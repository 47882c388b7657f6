// One JSON object per line for every host event, for programs; each with
// the UTC time it happened. Rendered on the outlet's thread and written by
// a LineWriter, which never holds the run up.
#pragma once

#include <map>
#include <set>
#include <string>

#include "host/report/report.h"
#include "host/sinks/line_writer.h"

class JsonSink : public Outlet {
public:
    explicit JsonSink(LineWriter& out) : out_(out) {}

    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void SlotsSkipped(const LineInfo& line, int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void LineEnded(const RunSummary& summary) override;
    void Finished() override;
    void Missed(const Gap& gap) override;

private:
    void Emit(const char* kind, Json::Value event, const std::string& utc = "");
    void Troubles(const std::vector<RequestTrouble>& troubled, int cycle, std::uint32_t data_id);
    void Record(const CycleReport& report);
    void Alarms(const CycleReport& report);

    LineWriter& out_;
    // Meters whose every rule's outcome has been written; each rule then
    // only when it changes. Cleared after events were missed.
    std::set<std::uint32_t> alarms_told_;
};
