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
    LibmodbusTcpContext(const LineSettings& settings, StopSignal& stop);

    int ChecksumLength() override { return 0; }  // TCP carries its own

private:
    int Reopen() override;
    bool Gone(int error) const override;
};
