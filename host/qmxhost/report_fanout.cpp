#include "host/qmxhost/report_fanout.h"

void ReportFanout::Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                             bool delayed) {
    ++publications_;
    for (ReportSink* s : sinks_) s->Published(device, data_id, data, length, delayed);
}
void ReportFanout::HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) {
    for (ReportSink* s : sinks_) s->HistoryStored(device, data, length);
}
void ReportFanout::AlarmReported(const QMXVDevice& device, const AlarmCall& call) {
    for (ReportSink* s : sinks_) s->AlarmReported(device, call);
}
void ReportFanout::PollStarted(const QMXVDevice& device) {
    for (ReportSink* s : sinks_) s->PollStarted(device);
}
void ReportFanout::Started(const Json::Value& facts) {
    for (ReportSink* s : sinks_) s->Started(facts);
}
void ReportFanout::StoringAs(RecordKind kind) {
    for (ReportSink* s : sinks_) s->StoringAs(kind);
}
void ReportFanout::CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) {
    for (ReportSink* s : sinks_) s->CycleDone(device, facts, snapshot_text);
}
void ReportFanout::CycleFailed(const QMXVDevice& device, int cycle) {
    for (ReportSink* s : sinks_) s->CycleFailed(device, cycle);
}
void ReportFanout::ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) {
    for (ReportSink* s : sinks_) s->ExchangeTroubled(device, cycle, exchange);
}
void ReportFanout::WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) {
    for (ReportSink* s : sinks_) s->WriteStatus(device, status, words);
}
void ReportFanout::Reloaded(const QMXVDevice& device, bool taken) {
    for (ReportSink* s : sinks_) s->Reloaded(device, taken);
}
void ReportFanout::BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) {
    for (ReportSink* s : sinks_) s->BackingOff(device, cycle, failures, next_cycle);
}
void ReportFanout::Recovered(const QMXVDevice& device, int cycle) {
    for (ReportSink* s : sinks_) s->Recovered(device, cycle);
}
void ReportFanout::SlotsSkipped(int cycle, int skipped) {
    for (ReportSink* s : sinks_) s->SlotsSkipped(cycle, skipped);
}
void ReportFanout::Problem(const std::string& text) {
    for (ReportSink* s : sinks_) s->Problem(text);
}
void ReportFanout::Summary(const Json::Value& summary, const std::string& for_people) {
    for (ReportSink* s : sinks_) s->Summary(summary, for_people);
}
