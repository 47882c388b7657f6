// The few libmodbus calls the bench host's line makes, behind an interface
// so that retries, flushing and echo checks can run against a scripted line.
#pragma once

#include <cstdint>

class ModbusContext {
public:
    virtual ~ModbusContext() = default;
    // Each returns what its libmodbus namesake returns on success; a failure
    // is returned as minus the errno libmodbus set (ETIMEDOUT, EMBBADCRC...).
    virtual int SetSlave(int slave) = 0;
    // From the end of a request to its answer's first byte (its whole
    // answer when no byte timeout is set).
    virtual int SetResponseTimeout(int milliseconds) = 0;
    virtual int ReadRegisters(int address, int count, std::uint16_t* destination) = 0;
    // `request` is the slave address and the PDU; libmodbus puts the
    // backend's header and checksum around it.
    virtual int SendRawRequest(const std::uint8_t* request, int length) = 0;
    virtual int ReceiveConfirmation(std::uint8_t* answer) = 0;  // the frame's length, header and checksum included
    virtual int Flush() = 0;
    // Reads and drops whatever arrives until the line has been silent for
    // `quiet_ms`; the bytes dropped. Not libmodbus's: it has no such call.
    virtual int Drain(int quiet_ms) = 0;
    // What frames the PDU in an answer: before it, the slave address (RTU)
    // or the MBAP header ending in the unit id (TCP); after it, the CRC (RTU)
    // or nothing (TCP).
    virtual int HeaderLength() = 0;
    virtual int ChecksumLength() = 0;
};
