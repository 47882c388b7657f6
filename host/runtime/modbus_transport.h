// How the stand-in controller puts a device's Modbus requests on a line.
#pragma once

class SPModbus;

// Each call sends (or queues) one request and returns at once; the answer
// reaches the device later through HostBinding::DeliverAnswer. An
// implementation copies what it needs: the values need not outlive the call.
class ModbusTransport {
public:
    virtual ~ModbusTransport() = default;
    virtual void ReadRegisters(SPModbus& device, int address, int count) = 0;
    virtual void WriteRegister(SPModbus& device, int address, int value) = 0;
    virtual void WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) = 0;
};
