// What the bench host shows people: a line per cycle with each quantity as
// the meter reports it beside the controller's whole-number snapshot,
// alarms, troubles with the line, and the summary.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/qmxhost/report_sink.h"

enum class Verbosity { quiet, normal, verbose };

class ConsoleSink : public ReportSink {
public:
    ConsoleSink(std::FILE* out, Verbosity verbosity, bool show_snapshot_text)
        : out_(out), verbosity_(verbosity), show_snapshot_text_(show_snapshot_text) {}

    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override;

    void Started(const Json::Value& facts) override;
    void CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) override;
    void ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) override;
    void WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) override;
    void Reloaded(const QMXVDevice& device, bool taken) override;
    void BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) override;
    void Recovered(const QMXVDevice& device, int cycle) override;
    void SlotsSkipped(int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void Summary(const Json::Value& summary, const std::string& for_people) override;

private:
    void Line(const std::string& text);

    std::FILE* out_;
    Verbosity verbosity_;
    bool show_snapshot_text_;
    std::map<std::uint32_t, std::vector<unsigned char>> last_record_;  // per device data id
    bool progress_shown_ = false;
    std::vector<AlarmReport> raised_;  // alarms of the current cycle whose outcome is true
};

// The table of readings for one record, beside the snapshot's values.
std::string readings_table(const std::vector<unsigned char>& record, const std::string& snapshot_text);
