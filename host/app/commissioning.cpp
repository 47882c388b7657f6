#include "host/app/commissioning.h"

#include <modbus.h>

#include <cerrno>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "host/app/line_open.h"
#include "host/core/exit_status.h"
#include "host/meter_view/meter_map.h"
#include "host/meter_view/meter_readings.h"

namespace {

// A scan asks many ids that are not there: each may cost no more than this
// beyond the wire time of its request and answer.
constexpr int kScanTimeoutMs = 100;

std::string failure_text(int result) { return modbus_strerror(-result); }

// The line a command works on, its simulator started first when it has none.
struct OpenLine {
    std::optional<SimProcess> sim;
    std::unique_ptr<ModbusContext> context;
};

LineConfig& line_of(HostSettings& settings, std::size_t line) {
    if (line >= settings.lines.size()) {
        throw std::runtime_error("--line " + std::to_string(line + 1) + ": the configuration has " +
                                 std::to_string(settings.lines.size()) + " line(s)");
    }
    return settings.lines[line];
}

void open(HostSettings& settings, const RunEnvironment& environment, std::size_t line, OpenLine& opened,
          StopSignal& stop, std::optional<int> response_timeout_ms = std::nullopt) {
    line_of(settings, line);
    if (response_timeout_ms) settings.lines[line].line.response_timeout_ms = *response_timeout_ms;
    start_simulator(settings.lines[line], settings, environment, opened.sim);
    opened.context = open_line(settings.lines[line].line, stop);
}

// The quantity a register pair holds, when `address` is the high half of one and both were read.
std::string quantity_text(int address, const std::vector<std::uint16_t>& words, std::size_t at) {
    const MeterReading* reading = reading_at(address);
    if (reading == nullptr || at + 1 >= words.size()) return "";
    std::ostringstream text;
    text << std::fixed << std::setprecision(reading_decimals(*reading)) << "  " << reading->label << " "
         << static_cast<double>(pair_value(words[at], words[at + 1])) / reading->divisor << (*reading->unit ? " " : "") << reading->unit << " ("
         << address << "-" << address + 1 << ")";
    return text.str();
}

}  // namespace

int read_registers(HostSettings settings, const RunEnvironment& environment, std::size_t line, const RegisterRead& read,
                   std::ostream& out, StopSignal& stop) {
    OpenLine opened;
    open(settings, environment, line, opened, stop);
    ModbusContext& context = *opened.context;
    std::vector<std::uint16_t> words(static_cast<std::size_t>(read.count));
    context.SetSlave(read.slave);
    const int result = context.ReadRegisters(read.address, read.count, words.data());
    if (result != read.count) {
        out << "slave " << read.slave << ", registers " << read.address << " to " << read.address + read.count - 1
            << ": " << (result < 0 ? failure_text(result) : "a short answer") << "\n";
        return exit_status::kMeterSilent;
    }
    out << "slave " << read.slave << ", holding registers " << read.address << " to " << read.address + read.count - 1
        << " (0-based, as the register map; mbpoll -r " << read.address + 1 << ")\n";
    for (std::size_t i = 0; i < words.size(); ++i) {
        const int address = read.address + static_cast<int>(i);
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(words[i]));
        out << std::setw(5) << address << "  " << std::setw(5) << words[i] << "  " << hex
            << quantity_text(address, words, i) << "\n";
    }
    return exit_status::kSuccess;
}

int scan_line(HostSettings settings, const RunEnvironment& environment, std::size_t line, const SlaveScan& scan,
              std::ostream& out, StopSignal& stop) {
    OpenLine opened;
    // libmodbus counts the timeout from the request handed to the port, not
    // from its last byte on the wire: at a low speed that alone takes tens of ms.
    const LineSettings& speed = line_of(settings, line).line;
    const int chars = 8 + 5 + 2 * kMeterBlocks.front().count;  // the request, and the answer of the first block
    const int timeout_ms = speed.IsTcp() ? speed.response_timeout_ms
                                         : kScanTimeoutMs + chars * speed.BitsPerCharacter() * 1000 / speed.baud + 1;
    open(settings, environment, line, opened, stop, timeout_ms);
    ModbusContext& context = *opened.context;
    const MeterBlock first = kMeterBlocks.front();
    std::vector<std::uint16_t> words(static_cast<std::size_t>(first.count));
    int answered = 0;
    out << "asking slave ids " << scan.from << " to " << scan.to << " for registers " << first.first_register << " to "
        << first.first_register + first.count - 1 << ", " << timeout_ms << " ms each\n";
    for (int slave = scan.from; slave <= scan.to && !stop.requested(); ++slave) {
        context.SetSlave(slave);
        const int result = context.ReadRegisters(first.first_register, first.count, words.data());
        // A refusal is an answer too: something lives at that id.
        if (result == first.count || result == -EMBXILADD || result == -EMBXILFUN) {
            ++answered;
            out << "slave " << slave << ": " << (result == first.count ? "answers" : "answers, refusing: " + failure_text(result))
                << "\n";
        } else if (result != -ETIMEDOUT) {
            out << "slave " << slave << ": " << failure_text(result) << "\n";
            context.Drain(kScanTimeoutMs);  // a garbled answer may still be arriving
        }
    }
    out << answered << " slave id(s) answered\n";
    return answered > 0 ? exit_status::kSuccess : exit_status::kMeterSilent;
}
