// One JSON object per line for every host event, for programs; each with
// the UTC time it happened.
#pragma once

#include <cstdio>
#include <string>

#include "host/qmxhost/report_sink.h"

class JsonSink : public ReportSink {
public:
    explicit JsonSink(std::FILE* out) : out_(out) {}

    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& call) override;

    void Started(const Json::Value& facts) override;
    void StoringAs(RecordKind kind) override { kind_ = kind; }
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
    void Emit(const char* kind, Json::Value event);

    std::FILE* out_;
    RecordKind kind_ = RecordKind::poll;
};
