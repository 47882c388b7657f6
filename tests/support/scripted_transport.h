// A Modbus line that records requests and leaves answering to the test.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "host/runtime/modbus_transport.h"

struct Request {
    enum Kind { read, write_one, write_many } kind;
    int address;
    int count;                          // registers read or written
    std::vector<std::uint16_t> values;  // written values
};

class ScriptedTransport : public ModbusTransport {
public:
    void ReadRegisters(SPModbus& device, int address, int count) override;
    void WriteRegister(SPModbus& device, int address, int value) override;
    void WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) override;

    std::vector<Request> Requests();
    void Clear();

private:
    std::mutex mutex_;
    std::vector<Request> requests_;
};
