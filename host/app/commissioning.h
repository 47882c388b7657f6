// What an engineer commissioning a panel asks of a line before polling it:
// any registers of one meter, and which slave ids answer at all. Both go
// straight to the line, through the same settings as a run.
#pragma once

#include <ostream>

#include "host/app/bench_run.h"
#include "host/config/settings.h"

struct RegisterRead {
    int slave = 1;
    int address = 0;  // 0-based, as the meter's register map numbers them
    int count = 1;
};

struct SlaveScan {
    int from = static_cast<int>(kSlaveAddresses.low), to = static_cast<int>(kSlaveAddresses.high);
};

struct Commissioning {
    std::size_t line = 0;  // which of the settings' lines
    std::optional<RegisterRead> read;
    std::optional<SlaveScan> scan;
};

// Each prints what it found on `out` and returns the exit status: 0 when
// the registers came (read) or a slave answered (scan), else 2. A stop
// ends either at once.
int read_registers(HostSettings settings, const RunEnvironment& environment, std::size_t line, const RegisterRead& read,
                   std::ostream& out, StopSignal& stop);
int scan_line(HostSettings settings, const RunEnvironment& environment, std::size_t line, const SlaveScan& scan,
              std::ostream& out, StopSignal& stop);
