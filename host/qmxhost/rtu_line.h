// The bench host's Modbus RTU line on libmodbus. Devices queue one request
// at a time (as the controller's Modbus master allows); the poll loop then
// runs it on the wire and hands the answer to the device.
#pragma once

#include <modbus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/qmxhost/host_config.h"
#include "host/runtime/modbus_transport.h"

struct Exchange {
    enum Outcome { answered, timeout, crc, exception, failed } outcome;
    std::string request;  // e.g. "read 1792/22"
    std::string message;  // what went wrong, for people
    bool delivered;       // the device was handed an answer
};

const char* outcome_name(Exchange::Outcome outcome);

class RtuLine : public ModbusTransport {
public:
    explicit RtuLine(const LineSettings& settings);  // throws std::runtime_error
    ~RtuLine() override;
    RtuLine(const RtuLine&) = delete;
    RtuLine& operator=(const RtuLine&) = delete;

    void ReadRegisters(SPModbus& device, int address, int count) override;
    void WriteRegister(SPModbus& device, int address, int value) override;
    void WriteRegisters(SPModbus& device, int address, int count, const unsigned short* values) override;

    bool HasPending() const { return pending_.has_value(); }
    // Puts the queued request on the wire for the device's slave address.
    // An answer goes to the device's process_payload; a failure to its
    // on_error.
    Exchange RunPending();

private:
    struct Request {
        SPModbus* device;
        int function;
        int address;
        int count;
        std::vector<std::uint16_t> values;
    };
    Exchange Read(const Request& request);
    Exchange Write(const Request& request);
    Exchange Failure(const Request& request, const std::string& what);

    modbus_t* ctx_ = nullptr;
    std::optional<Request> pending_;
};
