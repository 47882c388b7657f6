// The bench host's own cost per meter cycle: the poll loop over a line that
// answers at once, with the console, the history (to a file, a transaction
// every cycle: the most it costs) and the live state as outlets, each on its
// own thread as in a run; the HTTP server and the broker off. Runs N cycles of one
// meter; under callgrind the difference between two N is the cost of the
// extra cycles, the plug-in's part included (bench/instructions.sh shows it
// alone as cycle_mode2).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "bench/bench_rig.h"
#include "host/report/outlets.h"
#include "host/core/poll_loop.h"
#include "host/live/live_state.h"
#include "host/sinks/console_sink.h"
#include "host/sinks/history_sink.h"
#include "host/sinks/line_writer.h"

namespace {

// A meter that answers every read at once with its working values.
class InstantLine : public ModbusContext {
public:
    int SetSlave(int) override { return 0; }
    int SetResponseTimeout(int) override { return 0; }
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
    const int console_out = open("/dev/null", O_WRONLY);
    std::freopen("/dev/null", "w", stdout);  // the plug-in's own lines
    const std::string history_path = "/tmp/qv5810_host_cycles_" + std::to_string(getpid()) + ".db";

    DeviceConfig meter;
    meter.name = "bench";
    meter.data_id = 1;
    meter.setting["appSetting"]["b_mode"] = 2;
    meter.setting["modbus"]["slave"] = 1;
    for (const AlarmRule& rule : kAlarmRules) meter.thresholds[rule.key] = Threshold{1, 235.0f};
    LineConfig line = default_settings().lines.front();
    line.devices = {meter};
    const std::vector<LineInfo> site{describe_line(0, "instant", line)};

    SteadyClock clock;
    StopSignal stop;
    InstantLine context;
    ModbusLine modbus(context, RetryPolicy{2, 0, 1000, 1000}, clock, stop);
    Outlets outlets;
    LineWriter output(console_out, [](const std::string&) {}, [] {});
    ConsoleSink console(output, Verbosity::normal, false);
    HistoryDb history(history_path);
    HistorySink history_sink(history, 0.0, 1.0, outlets);
    EventHub events;
    LiveState live(site, clock, events);
    outlets.Add("console", {&console}, Mailbox{4096, WhenFull::refuse_newest});
    outlets.Add("history", {&history_sink}, Mailbox{HistoryDb::kMostPending, WhenFull::drop_oldest});
    outlets.Add("state", {&live}, Mailbox{});
    std::vector<std::unique_ptr<SPModbus>> devices;
    devices.push_back(std::make_unique<QV5810>());
    int status = 0;
    {
        PollLoop loop(line.devices, site.front(), PollOptions{std::atoi(argv[1]), 0.0, {}, nullptr}, std::move(devices),
                      modbus, outlets, clock);
        status = loop.Run(stop);
    }
    outlets.Finished();
    outlets.Close();
    output.Close(std::chrono::seconds(10));
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((history_path + suffix).c_str());
    close(console_out);
    return status;
}
