// The serial line: a libmodbus RTU context on the port, opened with the
// line's settings (speed, framing, RS-485 mode, RTS).
#pragma once

#include "host/line/libmodbus_context.h"

class LibmodbusRtuContext : public LibmodbusContext {
public:
    explicit LibmodbusRtuContext(const LineSettings& settings);  // throws std::runtime_error

    int ChecksumLength() override { return 2; }  // the CRC
};
