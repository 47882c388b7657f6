#include "host/runtime/host_sink.h"

void HostSink::Published(const QMXVDevice&, std::uint32_t, const unsigned char*, int, bool) {}
void HostSink::HistoryStored(const QMXVDevice&, const unsigned char*, int) {}
void HostSink::AlarmReported(const QMXVDevice&, const AlarmCall&) {}
bool HostSink::BatchesAlarms() const { return true; }
bool HostSink::BatchChecked(const QMXVDevice&, const std::vector<rule_value>& rules) {
    for (const rule_value& rule : rules) {
        if (rule.state) return true;
    }
    return false;
}
void HostSink::ExchangeReset(const QMXVDevice&) {}
void HostSink::PortOpened(const QMXVDevice&) {}
void HostSink::PollStarted(const QMXVDevice&) {}
int HostSink::BaseControl(const QMXVDevice&, int, const void*, int, void*, int, int&) { return 0; }
