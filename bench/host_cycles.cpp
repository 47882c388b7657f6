// The bench host's own cost per meter cycle: the poll loop over a line that
// answers at once, with the console, the history (to a file, a transaction
// every cycle: the most it costs) and the live state as outlets; the HTTP server and the broker off. Runs N cycles of one
// meter; under callgrind the difference between two N is the cost of the
// extra cycles, the plug-in's part included (bench/instructions.sh shows it
// alone as cycle_mode2).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

#include "bench/bench_rig.h"
#include "host/core/outlets.h"
#include "host/core/poll_loop.h"
#include "host/live/live_state.h"
#include "host/sinks/console_sink.h"
#include "host/sinks/history_sink.h"

namespace {

// A meter that answers every read at once with its working values.
class InstantLine : public ModbusContext {
public:
    int SetSlave(int) override { return 0; }
    int ReadRegisters(int address, int count, std::uint16_t* destination) override {
        const auto block = meter_block(address, count);
        std::copy(block.begin(), block.begin() + count, destination);
        return count;
    }
    int SendRawRequest(const std::uint8_t*, int length) override { return length; }
    int ReceiveConfirmation(std::uint8_t*) override { return -1; }
    int Flush() override { return 0; }
    int Drain(int) override { return 0; }
    int HeaderLength() override { return 1; }
    int ChecksumLength() override { return 2; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: host_cycles N" << std::endl;
        return 2;
    }
    std::FILE* console_out = std::fopen("/dev/null", "w");
    std::freopen("/dev/null", "w", stdout);  // the plug-in's own lines
    const std::string history_path = "/tmp/qv5810_host_cycles_" + std::to_string(getpid()) + ".db";

    DeviceConfig meter;
    meter.name = "bench";
    meter.data_id = 1;
    meter.setting["appSetting"]["b_mode"] = 2;
    meter.setting["modbus"]["slave"] = 1;
    for (const AlarmRule& rule : kAlarmRules) meter.thresholds[rule.key] = Threshold{1, 235.0f};
    const std::vector<DeviceConfig> meters{meter};
    LineSettings line;

    SteadyClock clock;
    InstantLine context;
    volatile std::sig_atomic_t stop = 0;
    ModbusLine modbus(context, RetryPolicy{2, 0, 1000}, clock, stop);
    Outlets outlets;
    ConsoleSink console(console_out, Verbosity::normal, false);
    HistoryDb history(history_path);
    HistorySink history_sink(history, 0.0, 1.0);
    EventHub events;
    LiveState live(meters, line, clock, events);
    outlets.Add(console);
    outlets.Add(history_sink);
    outlets.Add(live);
    std::vector<std::unique_ptr<SPModbus>> devices;
    devices.push_back(std::make_unique<QV5810>());
    PollLoop loop(meters, line, PollOptions{std::atoi(argv[1]), 0.0, {}, nullptr}, std::move(devices), modbus,
                  outlets, clock);
    const int status = loop.Run(stop);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((history_path + suffix).c_str());
    std::fclose(console_out);
    return status;
}
