// What the bench host shows of the controller's side: either for people,
// or as one JSON object per line for programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/qmxhost/history_db.h"
#include "host/qmxhost/rtu_line.h"
#include "host/runtime/host_sink.h"

class EventReport : public HostSink {
public:
    // `json_out` is where JSON lines go, or nullptr for output for people.
    EventReport(std::FILE* json_out, HistoryDb* history);

    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& report) override;

    void Snapshot(const QMXVDevice& device, const std::string& text, bool show_text);
    void WriteStatus(const QMXVDevice& device, std::int32_t status);
    void Error(const QMXVDevice& device, const Exchange& exchange);
    void CycleDone(const QMXVDevice& device, int cycle, double milliseconds);
    void Note(const std::string& text);  // a line for people only
    void Summary(const Json::Value& summary, const std::string& for_people);

    int publications() const { return publications_; }

private:
    void Emit(Json::Value event);
    bool json() const { return json_out_ != nullptr; }

    std::FILE* json_out_;
    HistoryDb* history_;
    int publications_ = 0;
    std::vector<AlarmReport> raised_;  // alarms of the current cycle whose outcome is true
};
