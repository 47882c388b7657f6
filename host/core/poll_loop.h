// The bench host's main loop: the controller's polling, control and cache
// handling for the configured meters on one line. Each meter's cycle is
// decoded once into one CycleReport for the outlets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "framework/sp_modbus.h"
#include "host/common/clock.h"
#include "host/common/heartbeat.h"
#include "host/common/stop_signal.h"
#include "host/line/modbus_line.h"
#include "host/report/report.h"
#include "host/report/write_inbox.h"

struct PollOptions {
    int cycles = 0;  // 0: until stopped
    double interval_seconds = 1.0;
    std::vector<std::uint16_t> write;  // after the first cycle, to the first meter: address, then values
    WriteInbox* inbox = nullptr;       // writes asked for while polling; none: no such writes
    bool frames_take_wire_time = true;  // false on an unpaced pseudo-terminal
    Heartbeat* heartbeat = nullptr;     // beaten at every request and before every wait; none: no watchdog
};

// The newest record stored for a data id, if any: what the controller's
// cache hands a device at start.
using StoredRecords = std::function<std::optional<std::vector<unsigned char>>(std::uint32_t data_id)>;

class PollLoop {
public:
    // One device per configured meter, in the same order. The meters and the
    // line (its settings too) must outlive the loop; the devices are
    // configured here.
    PollLoop(const std::vector<DeviceConfig>& meters, const LineInfo& line, PollOptions options,
             std::vector<std::unique_ptr<SPModbus>> devices, ModbusLine& modbus, Outlet& outlets, Clock& clock);
    ~PollLoop();
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    void Reload(const StoredRecords& newest);
    // Polls until the cycle count is reached or `stop` is raised, tells the
    // outlets that the line ended, and returns the process exit status
    // (exit_status.h). A cycle a stop cuts short is no failure of its meter:
    // it is left out, as if it had not begun.
    int Run(const StopSignal& stop);

private:
    struct Meter;

    bool RunExchanges(Meter& meter, std::vector<RequestTrouble>& troubled, std::vector<ReadBlock>* read = nullptr,
                      ModbusLine::Attempts attempts = ModbusLine::Attempts::with_retries, bool probe = false);
    std::optional<Waits> WaitsFor(const Meter& meter, const FrameBytes& frames, bool probe) const;
    void Poll(Meter& meter, int cycle, const StopSignal& stop);
    std::int32_t WriteAndConfirm(Meter& meter, const std::vector<std::uint16_t>& words, int cycle, const std::string& by);
    void ServeInbox(int cycle);
    void WaitServingInbox(Clock::time_point until, int cycle, const StopSignal& stop);
    void Decode(Meter& meter, CycleReport& report);
    std::shared_ptr<CycleReport> NewReport(const Meter& meter, CycleKind kind, int cycle) const;
    void Finish(int cycles, int skipped_slots);
    void Beat(Clock::time_point from);

    const LineInfo& line_;
    PollOptions options_;
    std::vector<std::unique_ptr<Meter>> meters_;  // not moved: each device holds its meter's binding
    ModbusLine& modbus_;
    Outlet& outlets_;
    Clock& clock_;
    Clock::duration longest_request_;  // the most one request may take here, at work
};
