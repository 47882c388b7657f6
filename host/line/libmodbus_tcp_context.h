// Modbus TCP: a libmodbus TCP context (by name or address, IPv4 or IPv6) on
// a server or gateway. A connection the peer closed or reset is opened again
// before the next request, so that a gateway restarted mid-run costs only
// the requests that fall in its absence, as a meter that stops answering
// would; a stop request ends that.
//
// libmodbus matches the transaction id of the answers it reads itself (the
// reads); a write's echo is read raw, and a late one is kept from passing for
// the next as on the serial line: by silence and a flush before each attempt.
#pragma once

#include <string>

#include "host/line/libmodbus_context.h"

class LibmodbusTcpContext : public LibmodbusContext {
public:
    // Connects, within the response timeout. Throws std::runtime_error
    // saying whether the name did not resolve, the connection was refused or
    // no answer came.
    explicit LibmodbusTcpContext(const LineSettings& settings);

    int ReadRegisters(int address, int count, std::uint16_t* destination) override;
    int SendRawRequest(const std::uint8_t* request, int length) override;
    int ReceiveConfirmation(std::uint8_t* answer) override;
    int ChecksumLength() override { return 0; }  // TCP carries its own

private:
    // 0 when connected, or minus the errno of the failed connect.
    int EnsureConnected();
    // `rc` as the call returned it; a lost connection is closed for the next request to open again.
    int Checked(int rc);

    bool connected_ = false;
};
