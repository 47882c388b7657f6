#include "host/app/line_open.h"

#include "host/line/libmodbus_rtu_context.h"
#include "host/line/libmodbus_tcp_context.h"

void start_simulator(LineConfig& config, const HostSettings& settings, const RunEnvironment& environment,
                     std::optional<SimProcess>& sim) {
    LineSettings& line = config.line;
    const bool over_tcp = line.tcp_simulated;
    if (!over_tcp && (line.IsTcp() || !line.port.empty())) return;
    std::vector<std::string> args;
    if (over_tcp) {
        args = {"--tcp", "0"};  // a free port
    } else {
        args = {"--baud", std::to_string(line.baud), "--parity", std::string(1, line.parity), "--data-bits",
                std::to_string(line.data_bits), "--stop-bits", std::to_string(line.stop_bits)};
        if (config.emulate_line) args.emplace_back("--byte-timing");
    }
    for (const DeviceConfig& device : config.devices) args.insert(args.end(), {"--slave", std::to_string(device.slave)});
    args.insert(args.end(), settings.sim_args.begin(), settings.sim_args.end());
    args.insert(args.end(), config.sim_args.begin(), config.sim_args.end());
    sim.emplace(environment.simulator, args, over_tcp ? SimProcess::Answers::over_tcp : SimProcess::Answers::on_terminal,
                environment.emulator);
    // It listens on every local address, loopback among them.
    if (over_tcp) {
        line.tcp = TcpAddress{"127.0.0.1", sim->port()};
    } else {
        line.port = sim->port();
    }
}

std::unique_ptr<ModbusContext> open_line(const LineSettings& line, StopSignal& stop) {
    if (line.IsTcp()) return std::make_unique<LibmodbusTcpContext>(line, stop);
    return std::make_unique<LibmodbusRtuContext>(line, stop);
}

