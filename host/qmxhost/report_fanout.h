// The one HostSink the devices see: hands every report to the console,
// JSON and history sinks in turn.
#pragma once

#include <vector>

#include "host/qmxhost/report_sink.h"

class ReportFanout : public ReportSink {
public:
    void Add(ReportSink& sink) { sinks_.push_back(&sink); }
    int publications() const { return publications_; }

    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override;
    void PollStarted(const QMXVDevice& device) override;

    void Started(const Json::Value& facts) override;
    void StoringAs(RecordKind kind) override;
    void CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) override;
    void CycleFailed(const QMXVDevice& device, int cycle) override;
    void ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) override;
    void WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) override;
    void Reloaded(const QMXVDevice& device, bool taken) override;
    void BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) override;
    void Recovered(const QMXVDevice& device, int cycle) override;
    void SlotsSkipped(int cycle, int skipped) override;
    void Problem(const std::string& text) override;
    void Summary(const Json::Value& summary, const std::string& for_people) override;

private:
    std::vector<ReportSink*> sinks_;
    int publications_ = 0;
};
