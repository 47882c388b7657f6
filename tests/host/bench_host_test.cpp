// The bench host's poll loop in-process over a scripted line: exit
// statuses, the fixed rate, and the back-off of a meter that stopped answering.
#include <gtest/gtest.h>

#include "framework/control_codes.h"
#include "host/qmxhost/bench_host.h"
#include "host/qmxhost/exit_status.h"
#include "framework/qmx_vdevice.h"
#include "meter/qv5810.h"
#include "tests/support/scripted_line.h"

namespace {

struct Events : ReportSink {
    explicit Events(Clock& clock) : clock_(clock) {}
    void PollStarted(const QMXVDevice& device) override { starts[device.DataId()].push_back(clock_.Now()); }
    void BackingOff(const QMXVDevice&, int, int, int next_cycle) override { backoff_next.push_back(next_cycle); }
    void Recovered(const QMXVDevice&, int cycle) override { recovered.push_back(cycle); }
    void SlotsSkipped(int, int skipped) override { skipped_slots += skipped; }
    void WriteStatus(const QMXVDevice&, std::int32_t s, const std::vector<std::uint16_t>&) override { status = s; }
    std::vector<int> backoff_next;
    std::vector<int> recovered;
    int skipped_slots = 0;
    std::int32_t status = 0;
    std::map<std::uint32_t, std::vector<Clock::time_point>> starts;  // of each poll cycle, per data id

private:
    Clock& clock_;
};

struct HostRig {
    explicit HostRig(std::vector<int> slaves, HostOptions host_options = {}) : options(host_options) {
        options.interval_seconds = host_options.interval_seconds;
        for (std::size_t i = 0; i < slaves.size(); ++i) {
            DeviceConfig device;
            device.name = "meter " + std::to_string(i);
            device.data_id = static_cast<std::uint32_t>(10 + i);
            device.slave = slaves[i];
            device.setting["modbus"]["slave"] = slaves[i];
            config.devices.push_back(device);
            line.banks[slaves[i]].FillDistinct(static_cast<std::uint16_t>(i));
        }
        report.Add(events);
    }

    int Run() {
        std::vector<std::unique_ptr<SPModbus>> devices;
        for (std::size_t i = 0; i < config.devices.size(); ++i) devices.push_back(std::make_unique<QV5810>());
        BenchHost host(config, options, std::move(devices), rtu, report, clock);
        const int status = host.Run(stop);
        stats = host.stats();
        return status;
    }

    // When each poll cycle of the i-th meter began.
    std::vector<Clock::time_point> CycleStarts(std::size_t meter) { return events.starts[config.devices[meter].data_id]; }

    HostConfig config;
    HostOptions options;
    FakeSteadyClock clock;
    ScriptedLine line{clock};
    volatile std::sig_atomic_t stop = 0;
    ModbusLine rtu{line, RetryPolicy{2, 0, 1000}, clock, stop};
    ReportFanout report;
    Events events{clock};
    std::vector<MeterStats> stats;
};

HostOptions cycles(int n, double interval = 0) {
    HostOptions options;
    options.cycles = n;
    options.interval_seconds = interval;
    return options;
}

}  // namespace

TEST(ExitStatus, SuccessWhenEveryMeterCompletedACycle) {
    HostRig rig({1, 2}, cycles(3));
    rig.line.script = {LineFault::timeout, LineFault::timeout, LineFault::timeout};  // one failed cycle
    EXPECT_EQ(rig.Run(), exit_status::kSuccess);
    EXPECT_EQ(rig.stats[0].completed, 2);
    EXPECT_EQ(rig.stats[1].completed, 3);
}

TEST(ExitStatus, MeterSilentWhenAConfiguredMeterCompletedNoCycle) {
    HostRig rig({1, 2}, cycles(3));
    rig.line.dead_slaves = {2};
    EXPECT_EQ(rig.Run(), exit_status::kMeterSilent);
    EXPECT_EQ(rig.stats[0].completed, 3);
    EXPECT_EQ(rig.stats[1].completed, 0);
}

TEST(ExitStatus, WriteUnconfirmedWhenTheWriteWasRefusedOrUnanswered) {
    for (LineFault fault : {LineFault::exception, LineFault::echo_from_other_slave}) {
        HostOptions options = cycles(1);
        options.write = {256, 0x1234};
        HostRig rig({1}, options);
        // The cycle's four reads, then the write and its retries.
        rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none, fault, fault, fault};
        EXPECT_EQ(rig.Run(), exit_status::kWriteUnconfirmed);
    }
}

TEST(Statistics, AWritesRetriesAndFailuresCountWithItsMeter) {
    HostOptions options = cycles(1);
    options.write = {256, 0x1234};
    HostRig rig({1}, options);
    rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none,
                       LineFault::timeout, LineFault::timeout, LineFault::timeout};
    EXPECT_EQ(rig.Run(), exit_status::kWriteUnconfirmed);
    EXPECT_EQ(rig.stats[0].completed, 1);
    EXPECT_EQ(rig.stats[0].retries, 2);
    EXPECT_EQ(rig.stats[0].failures["timeout"], 1);
}

TEST(ExitStatus, SuccessWhenTheWriteWasConfirmed) {
    HostOptions options = cycles(1);
    options.write = {300, 1, 2, 3};
    HostRig rig({1}, options);
    EXPECT_EQ(rig.Run(), exit_status::kSuccess);
    EXPECT_EQ(rig.events.status, write_outcome::kConfirmed);
}

TEST(Schedule, KeepsAFixedRateAndSkipsSlotsItMissed) {
    HostRig rig({1}, cycles(6, 1.0));
    // Cycle 2's first block times out three times, each followed by a second
    // of silence: 6 s, so slots 2 to 6 pass.
    rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none,
                       LineFault::timeout, LineFault::timeout, LineFault::timeout};
    rig.Run();
    const auto starts = rig.CycleStarts(0);
    ASSERT_EQ(starts.size(), 6u);
    const auto origin = starts.front();
    std::vector<long long> slots;
    for (const auto& start : starts) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(start - origin).count();
        EXPECT_EQ(ms % 1000, 0) << "cycle began off its slot, at " << ms << " ms";
        slots.push_back(ms / 1000);
    }
    // No catching up: never two cycles in one slot.
    EXPECT_EQ(slots, (std::vector<long long>{0, 1, 7, 8, 9, 10}));
    EXPECT_EQ(rig.events.skipped_slots, 5);
}

TEST(Schedule, AnInterruptedWaitIsNoSkippedSlot) {
    HostRig rig({1}, cycles(0, 1.0));
    // Ctrl-C lands five seconds into a wait for the first answer.
    rig.line.before_read = [&rig] {
        rig.clock.Advance(std::chrono::seconds(5));
        rig.stop = 1;
    };
    rig.line.script = {LineFault::timeout};
    rig.Run();
    EXPECT_EQ(rig.events.skipped_slots, 0);
}

TEST(Backoff, ASilentMeterIsAskedLessOftenAndTheOthersKeepTheirRate) {
    HostRig rig({1, 2}, cycles(40, 1.0));
    rig.line.dead_slaves = {2};
    rig.Run();
    EXPECT_EQ(rig.stats[0].completed, 40);
    const std::size_t asked = rig.CycleStarts(1).size();
    EXPECT_LT(asked, 12u);
    EXPECT_GE(asked, 5u);  // still tried now and then
    EXPECT_EQ(rig.stats[1].failed + rig.stats[1].skipped, 40);
    ASSERT_FALSE(rig.events.backoff_next.empty());
    // Meter 1 loses a slot only to a try of meter 2, never while it is paused.
    const auto starts = rig.CycleStarts(0);
    std::size_t off_slot = 0;
    for (std::size_t i = 1; i < starts.size(); ++i) off_slot += starts[i] - starts[i - 1] != std::chrono::seconds(1);
    EXPECT_LE(off_slot, asked);
}

TEST(Backoff, AMeterThatAnswersAgainIsPolledEveryCycle) {
    HostRig rig({1}, cycles(40, 1.0));
    rig.line.dead_slaves = {1};
    rig.line.revive_after_requests = 15;  // five cycles of three attempts
    rig.Run();
    ASSERT_FALSE(rig.events.backoff_next.empty());
    ASSERT_EQ(rig.events.recovered.size(), 1u);
    const int back = rig.events.recovered.front();
    // From the cycle it answered again, every cycle completed.
    EXPECT_EQ(rig.stats[0].completed, 40 - back + 1);
    EXPECT_EQ(rig.stats[0].failed, 5);
}
