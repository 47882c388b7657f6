// The serial line: a libmodbus RTU context on the port, opened with the
// line's settings (speed, framing, RS-485 mode, RTS).
//
// A port that goes away (a USB adapter unplugged: reads and writes fail
// with EIO, or read end-of-file) is closed, and opened again by its
// configured path before the next request, so that the adapter plugged in
// again, under a /dev/serial/by-id/ name or the same /dev/ttyUSB name,
// carries on; until then each request fails at once. The meters' back-off
// spaces the tries; a stop request ends them.
#pragma once

#include <string>

#include "host/line/libmodbus_context.h"

class LibmodbusRtuContext : public LibmodbusContext {
public:
    LibmodbusRtuContext(const LineSettings& settings, StopSignal& stop);  // throws std::runtime_error

    int ChecksumLength() override { return 2; }  // the CRC

private:
    // Opens the port and sets its mode: 0, or the errno of what failed, said in `why`.
    int Open(std::string& why);
    int Reopen() override;
    bool Gone(int error) const override;

    LineSettings settings_;
};
