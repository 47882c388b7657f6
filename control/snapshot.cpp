// The JSON snapshot of every quantity (commands 801 and 803).
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include <json/writer.h>

#include "control/snapshot_time_text.h"
#include "meter/decode.h"
#include "meter/qv5810.h"

namespace {
const char* const kUpdateTimeMember = "更新时间";
}

void QV5810::WriteSnapshotTextLocked() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    snapshot_text = Json::FastWriter().write(snapshot_json);
#pragma GCC diagnostic pop
}

void QV5810::RefreshSnapshotLocked() {
    if (last_update_time == snapshot_time) return;
    snapshot_time = last_update_time;
    for (const QuantityInfo& quantity : kQuantities) {
        snapshot_json[quantity.snapshot_name] = Json::Value(decode_quantity(completed_record, quantity.id));
    }
    snapshot_json[kUpdateTimeMember] = snapshot_time_text(completed_record.update_time);
    WriteSnapshotTextLocked();
}

int QV5810::SnapshotText(void* output, int output_capacity, int& written) {
    try {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        RefreshSnapshotLocked();
        written = static_cast<int>(snapshot_text.size());
        if (written > output_capacity) return -1;
        std::memcpy(output, snapshot_text.data(), snapshot_text.size());
        return 0;
    } catch (const std::exception&) {
        // Out of memory in the JSON library: refuse rather than unwind into the host.
        written = 0;
        return -1;
    }
}

int QV5810::SnapshotHandle(void* output, int output_capacity, int& written) {
    // The controller's handle is the address itself: 4 bytes on its ARM.
    const Json::Value* handle = &snapshot_json;
    constexpr int kHandleSize = static_cast<int>(sizeof(const Json::Value*));
    written = kHandleSize;
    try {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        RefreshSnapshotLocked();
    } catch (const std::exception&) {
        return -1;
    }
    if (output_capacity < kHandleSize) return -1;
    std::memcpy(output, &handle, kHandleSize);
    return 0;
}
