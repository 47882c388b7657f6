// One JSON object per line for every host event, for programs; each with
// the UTC time it happened.
#pragma once

#include <cstdio>
#include <string>

#include "host/core/report.h"

class JsonSink : public Outlet {
public:
    explicit JsonSink(std::FILE* out) : out_(out) {}

    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void SlotsSkipped(int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void Finished(const RunSummary& summary) override;

private:
    void Emit(const char* kind, Json::Value event, const std::string& utc = "");
    void Troubles(const std::vector<Exchange>& troubled, int cycle, std::uint32_t data_id);
    void Record(const CycleReport& report);

    std::FILE* out_;
};
