#include "host/qmxhost/history_sink.h"

#include "framework/qmx_vdevice.h"

void HistorySink::HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) {
    const std::vector<unsigned char> record(data, data + (length > 0 ? length : 0));
    const bool stored = history_.Store(device.DataId(), kind_, record);
    if (!stored) {
        problems_.Problem("history busy (locked by another process): " + std::to_string(history_.held()) +
                          " record(s) held, retried with the next one");
    } else if (was_busy_) {
        problems_.Problem("history free again: every held record stored");
    }
    if (history_.dropped() > 0 && !stored) {
        problems_.Problem("history: " + std::to_string(history_.dropped()) + " oldest held record(s) dropped");
    }
    was_busy_ = !stored;
}
