// Construction and settings of the QV5810 device.
#include "control/snapshot.h"
#include "meter/qv5810.h"

QV5810::QV5810() {
    device_type_name = "qv5810";
    baud_rate = 9600;
    master_option = 1;
    // Until the first cycle, command 801 answers with the text of the null snapshot.
    snapshot_text = compact_snapshot_text(snapshot_json);
}

QV5810::~QV5810() = default;

int QV5810::InitSetting(const Json::Value& setting) {
    record.dev_id = device_data_id;
    return UniDataDevice::InitSetting(setting);
}
