#include "control/snapshot.h"

#include <cstring>

#include <json/writer.h>

#include "control/command_input.h"
#include "control/snapshot_time_text.h"
#include "meter/decode.h"

void build_snapshot(const QV5810_Data_t& record, Json::Value& snapshot) {
    for (const QuantityInfo& quantity : kQuantities) {
        snapshot[quantity.snapshot_name] = Json::Value(decode_quantity(record, quantity));
    }
    snapshot["更新时间"] = snapshot_time_text(record.update_time);
}

std::string compact_snapshot_text(const Json::Value& snapshot) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return Json::FastWriter().write(snapshot);
#pragma GCC diagnostic pop
}

int answer_snapshot_text(const std::string& text, void* output, int capacity, int& written) {
    written = static_cast<int>(text.size());
    if (written > usable_size(output, capacity)) return -1;
    std::memcpy(output, text.data(), text.size());
    return 0;
}

int answer_snapshot_handle(const Json::Value* snapshot, void* output, int capacity, int& written) {
    // The controller's handle is the address itself: 4 bytes on its ARM.
    constexpr int kHandleSize = static_cast<int>(sizeof snapshot);
    written = kHandleSize;
    if (usable_size(output, capacity) < kHandleSize) return -1;
    std::memcpy(output, &snapshot, sizeof snapshot);
    return 0;
}
