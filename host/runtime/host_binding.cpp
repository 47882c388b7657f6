#include "host/runtime/host_binding.h"

#include <algorithm>

void HostBinding::Attach(QMXVDevice& device, HostBinding* binding, std::uint32_t data_id) {
    device.host_binding = binding;
    device.device_data_id = data_id;
}

int HostBinding::DeliverAnswer(SPModbus& device, const std::uint16_t* registers, unsigned int count) {
    const unsigned int kept = std::min<unsigned int>(count, SPModbus::kReceiveTableRegisters);
    return DeliverAnswerCounting(device, registers, kept, kept);
}

int HostBinding::DeliverAnswerCounting(SPModbus& device, const std::uint16_t* registers, unsigned int count,
                                       unsigned int reported_count) {
    const unsigned int kept = std::min<unsigned int>(count, SPModbus::kReceiveTableRegisters);
    std::copy(registers, registers + kept, device.receive_table.begin());
    return device.process_payload(SPModbus::TAB_REGISTERS, reported_count);
}

void HostBinding::SetThreshold(QMXVDevice& device, const std::string& key, int level, float value) {
    device.threshold_levels[key] = level;
    device.threshold_values[key] = value;
}

void HostBinding::SetLevel(QMXVDevice& device, const std::string& key, int level) {
    device.threshold_levels[key] = level;
}

const std::map<std::string, int>& HostBinding::Levels(const QMXVDevice& device) {
    return device.threshold_levels;
}

const std::map<std::string, float>& HostBinding::Values(const QMXVDevice& device) {
    return device.threshold_values;
}

std::int32_t HostBinding::PollState(const SPModbus& device) { return device.poll_state.load(); }

void HostBinding::SetPollState(SPModbus& device, std::int32_t state) { device.poll_state = state; }

bool HostBinding::AlarmActive(const QMXVDevice& device) { return device.alarm_active; }

std::uint16_t HostBinding::CommStatus(const QMXVDevice& device) { return device.comm_status; }

boost::posix_time::ptime HostBinding::LastUpdate(const QMXVDevice& device) {
    return device.last_update_time;
}
