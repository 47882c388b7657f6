// The stand-in controller's device base: effects go to the bound sink.
#include "framework/qmx_controller.h"
#include "framework/qmx_vdevice.h"
#include "host/runtime/host_binding.h"

QMXController::~QMXController() = default;

QMXVDevice::QMXVDevice() = default;
QMXVDevice::~QMXVDevice() = default;

int QMXVDevice::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& written) {
    return HostBinding::SinkOf(*this).BaseControl(*this, code, input, input_length, output, output_capacity, written);
}

void QMXVDevice::Reset() { HostBinding::SinkOf(*this).ExchangeReset(*this); }

int QMXVDevice::InitV(QMXController* owner) {
    controller = owner;
    return 1;
}

int QMXVDevice::Init() { return 1; }

int QMXVDevice::InitSetting(const Json::Value&) { return 1; }

bool QMXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_name; }

int QMXVDevice::SendSP(std::uint32_t data_id, const void* data, int length, bool delayed) {
    HostBinding::SinkOf(*this).Published(*this, data_id, static_cast<const unsigned char*>(data), length, delayed);
    return 1;
}

int QMXVDevice::SendDelayData(std::uint32_t data_id, const void* data, int length, int) {
    return SendSP(data_id, data, length, true);
}

int QMXVDevice::SendDoData(int, int) { return 0; }
int QMXVDevice::ReadDi(int) { return 0; }
double QMXVDevice::ReadAi(int) { return 0.0; }
int QMXVDevice::Get_SP_Value(std::uint32_t, void*, int) { return 0; }

int QMXVDevice::SaveDeviceHistory(const void* data, int length) {
    HostBinding::SinkOf(*this).HistoryStored(*this, static_cast<const unsigned char*>(data), length);
    return 1;
}

int QMXVDevice::CheckThresholdBool(int level, const std::string& alarm_key, const std::string& signal_key,
                                   const std::string& alarm_text, const std::string& value_text, bool state,
                                   unsigned short count) {
    HostSink& sink = HostBinding::SinkOf(*this);
    sink.AlarmReported(*this, AlarmCall{level, alarm_key, signal_key, alarm_text, value_text, state, count});
    if (sink.BatchesAlarms()) rule_values.push_back(rule_value{alarm_key, level, state, value_text});
    if (state) alarm_active = true;
    return 1;
}

bool QMXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return HostBinding::SinkOf(*this).BatchChecked(*this, rules);
}
