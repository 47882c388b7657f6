// Commands 801 and 803: the snapshot of the last completed cycle, rebuilt
// at most once per cycle however many requests arrive.
#include <exception>
#include <mutex>

#include "control/snapshot.h"
#include "meter/qv5810.h"

void QV5810::RefreshSnapshotLocked() {
    if (last_update_time == snapshot_time) return;
    snapshot_time = last_update_time;
    try {
        build_snapshot(completed_record, snapshot_json);
        snapshot_text = compact_snapshot_text(snapshot_json);
    } catch (...) {
        // Cut short (out of memory in the JSON library): the object or its
        // text is not this cycle's, so the next request must build again.
        snapshot_time = boost::posix_time::ptime();
        throw;
    }
}

int QV5810::SnapshotText(void* output, int output_capacity, int& written) {
    try {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        RefreshSnapshotLocked();
        return answer_snapshot_text(snapshot_text, output, output_capacity, written);
    } catch (const std::exception&) {
        // Refuse rather than unwind into the controller.
        written = 0;
        return -1;
    }
}

int QV5810::SnapshotHandle(void* output, int output_capacity, int& written) {
    try {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        RefreshSnapshotLocked();
    } catch (const std::exception&) {
        written = static_cast<int>(sizeof(const Json::Value*));
        return -1;
    }
    return answer_snapshot_handle(&snapshot_json, output, output_capacity, written);
}
