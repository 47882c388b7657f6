// The stand-in controller's Modbus master: requests go to the bound transport.
#include "framework/sp_modbus.h"
#include "host/runtime/host_binding.h"

namespace {
ModbusTransport* transport_of(const QMXVDevice& device) {
    HostBinding* binding = HostBinding::Of(device);
    return binding != nullptr ? binding->transport : nullptr;
}
constexpr int kMinSlave = 1;
constexpr int kMaxSlave = 247;
}  // namespace

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

// The controller's own settings: {"modbus": {"slave": 1..247}}. A slave
// address out of range is refused with 0.
int SPModbus::InitSetting(const Json::Value& setting) {
    if (!setting.isObject() || !setting.isMember("modbus")) return 1;
    const Json::Value& modbus = setting["modbus"];
    if (!modbus.isObject() || !modbus.isMember("slave")) return 1;
    const Json::Value& slave = modbus["slave"];
    if (!slave.isInt() || slave.asInt() < kMinSlave || slave.asInt() > kMaxSlave) return 0;
    slave_address = slave.asInt();
    return 1;
}

int SPModbus::modbus_read_registers(int address, int count) {
    if (ModbusTransport* transport = transport_of(*this)) transport->ReadRegisters(*this, address, count);
    return 1;
}

int SPModbus::modbus_write_register(int address, int value) {
    if (ModbusTransport* transport = transport_of(*this)) transport->WriteRegister(*this, address, value);
    return 1;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    if (ModbusTransport* transport = transport_of(*this)) {
        transport->WriteRegisters(*this, address, count, values);
    }
    return 1;
}
