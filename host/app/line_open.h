// Opening a line as the settings give it: the simulated meter started
// first when the line names no port or address, then libmodbus's context.
#pragma once

#include <memory>
#include <optional>

#include "host/app/bench_run.h"
#include "host/config/settings.h"
#include "host/line/modbus_context.h"
#include "host/line/sim_process.h"

// Started for a line that names no port or address, and told the line's
// settings and its meters' slave addresses; the line then points at it.
void start_simulator(LineConfig& config, const HostSettings& settings, const RunEnvironment& environment,
                     std::optional<SimProcess>& sim);

// Cut short by `stop`, which must outlive it.
std::unique_ptr<ModbusContext> open_line(const LineSettings& line, StopSignal& stop);
