// The bench host's poll loop in-process over a scripted line: exit
// statuses, the fixed rate, the back-off of a meter that stopped answering,
// writes waiting in the inbox, and the one report per cycle.
#include <gtest/gtest.h>

#include <algorithm>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "framework/control_codes.h"
#include "host/config/settings.h"
#include "host/core/exit_status.h"
#include "host/core/poll_loop.h"
#include "meter/qv5810.h"
#include "tests/support/scripted_line.h"

namespace {

struct Events : Outlet {
    void Cycle(const std::shared_ptr<const CycleReport>& report) override {
        reports.push_back(report);
        if (report->kind != CycleKind::reload) starts[report->meter->data_id].push_back(report->started_at);
        if (after_cycle) after_cycle(*report);
    }
    void Wrote(const WriteReport& report) override { writes.push_back(report); }
    void BackingOff(const BackoffReport& report) override { backoff_next.push_back(report.next_cycle); }
    void Recovered(const DeviceConfig&, int cycle) override { recovered.push_back(cycle); }
    void SlotsSkipped(const LineInfo&, int, int skipped) override { skipped_slots += skipped; }
    void LineEnded(const RunSummary& summary) override { finished = summary; }

    std::vector<std::shared_ptr<const CycleReport>> reports;
    std::vector<WriteReport> writes;
    std::vector<int> backoff_next;
    std::vector<int> recovered;
    int skipped_slots = 0;
    RunSummary finished;
    std::map<std::uint32_t, std::vector<Clock::time_point>> starts;  // of each poll cycle, per data id
    std::function<void(const CycleReport&)> after_cycle;
};

struct HostRig {
    explicit HostRig(std::vector<int> slaves, PollOptions poll_options = {}) : options(std::move(poll_options)) {
        for (std::size_t i = 0; i < slaves.size(); ++i) {
            DeviceConfig device;
            device.name = "meter " + std::to_string(i);
            device.data_id = static_cast<std::uint32_t>(10 + i);
            device.slave = slaves[i];
            device.setting["modbus"]["slave"] = slaves[i];
            meters.push_back(device);
            line.banks[slaves[i]].FillDistinct(static_cast<std::uint16_t>(i));
        }
    }

    int Run() {
        std::vector<std::unique_ptr<SPModbus>> devices;
        for (std::size_t i = 0; i < meters.size(); ++i) {
            auto device = std::make_unique<QV5810>();
            if (wall_clock != nullptr) device->UseWallClock(wall_clock);
            devices.push_back(std::move(device));
        }
        LineInfo info;
        info.name = "scripted";
        info.settings = &settings;
        for (const DeviceConfig& meter : meters) info.meters.push_back(&meter);
        PollLoop loop(meters, info, options, std::move(devices), rtu, events, clock);
        if (stored) loop.Reload([this](std::uint32_t) { return stored; });
        return loop.Run(stop);
    }

    const MeterHealth& Health(std::size_t meter) const { return events.finished.meters.at(meter).health; }
    // When each poll cycle of the i-th meter began.
    std::vector<Clock::time_point> CycleStarts(std::size_t meter) { return events.starts[meters[meter].data_id]; }

    std::vector<DeviceConfig> meters;
    LineSettings settings = default_settings().lines.front().line;
    PollOptions options;
    FakeSteadyClock clock;
    ScriptedLine line{clock};
    StopSignal stop;
    ModbusLine rtu{line, RetryPolicy{2, 0, 1000, 1000}, clock, stop};
    Events events;
    std::optional<std::vector<unsigned char>> stored;  // handed to each device at start
    QV5810::WallClock wall_clock = nullptr;            // the devices' own time
};

boost::posix_time::ptime one_second() { return boost::posix_time::time_from_string("2026-12-09 10:00:00"); }

PollOptions cycles(int n, double interval = 0) {
    PollOptions options;
    options.cycles = n;
    options.interval_seconds = interval;
    return options;
}

}  // namespace

TEST(ExitStatus, SuccessWhenEveryMeterCompletedACycle) {
    HostRig rig({1, 2}, cycles(3));
    rig.line.script = {LineFault::timeout, LineFault::timeout, LineFault::timeout};  // one failed cycle
    EXPECT_EQ(rig.Run(), exit_status::kSuccess);
    EXPECT_EQ(rig.Health(0).completed, 2);
    EXPECT_EQ(rig.Health(1).completed, 3);
}

TEST(ExitStatus, MeterSilentWhenAConfiguredMeterCompletedNoCycle) {
    HostRig rig({1, 2}, cycles(3));
    rig.line.dead_slaves = {2};
    EXPECT_EQ(rig.Run(), exit_status::kMeterSilent);
    EXPECT_EQ(rig.Health(0).completed, 3);
    EXPECT_EQ(rig.Health(1).completed, 0);
}

TEST(ExitStatus, WriteUnconfirmedWhenTheWriteWasRefusedOrUnanswered) {
    for (LineFault fault : {LineFault::exception, LineFault::echo_from_other_slave}) {
        PollOptions options = cycles(1);
        options.write = {256, 0x1234};
        HostRig rig({1}, options);
        // The cycle's four reads, then the write and its retries.
        rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none, fault, fault, fault};
        EXPECT_EQ(rig.Run(), exit_status::kWriteUnconfirmed);
    }
}

TEST(Statistics, AWritesRetriesAndFailuresCountWithItsMeter) {
    PollOptions options = cycles(1);
    options.write = {256, 0x1234};
    HostRig rig({1}, options);
    rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none,
                       LineFault::timeout, LineFault::timeout, LineFault::timeout};
    EXPECT_EQ(rig.Run(), exit_status::kWriteUnconfirmed);
    EXPECT_EQ(rig.Health(0).completed, 1);
    EXPECT_EQ(rig.Health(0).retries, 2);
    EXPECT_EQ(rig.Health(0).failures.at("timeout"), 1);
    ASSERT_EQ(rig.events.writes.size(), 1u);
    EXPECT_EQ(rig.events.writes[0].troubled.size(), 1u);
    EXPECT_EQ(rig.events.writes[0].health.retries, 2);
}

TEST(ExitStatus, SuccessWhenTheWriteWasConfirmed) {
    PollOptions options = cycles(1);
    options.write = {300, 1, 2, 3};
    HostRig rig({1}, options);
    EXPECT_EQ(rig.Run(), exit_status::kSuccess);
    ASSERT_EQ(rig.events.writes.size(), 1u);
    EXPECT_EQ(rig.events.writes[0].status, write_outcome::kConfirmed);
}

TEST(Schedule, KeepsAFixedRateAndSkipsSlotsItMissed) {
    HostRig rig({1}, cycles(6, 1.0));
    // Cycle 2's first block times out three times: the configured second and
    // a second of silence, then twice what the meter's answers take and as
    // long again: under 3 s, so slots 2 and 3 pass.
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
    EXPECT_EQ(slots, (std::vector<long long>{0, 1, 4, 5, 6, 7}));
    EXPECT_EQ(rig.events.skipped_slots, 2);
}

TEST(Schedule, AnInterruptedWaitIsNoSkippedSlot) {
    HostRig rig({1}, cycles(0, 1.0));
    // Ctrl-C lands five seconds into a wait for the first answer.
    rig.line.before_read = [&rig] {
        rig.clock.Advance(std::chrono::seconds(5));
        rig.stop.Request();
    };
    rig.line.script = {LineFault::timeout};
    rig.Run();
    EXPECT_EQ(rig.events.skipped_slots, 0);
}

TEST(Schedule, NoCycleCountRunsUntilStopped) {
    HostRig rig({1}, cycles(0, 1.0));
    rig.events.after_cycle = [&rig](const CycleReport& report) {
        if (report.cycle == 250) rig.stop.Request();
    };
    EXPECT_EQ(rig.Run(), exit_status::kSuccess);
    EXPECT_EQ(rig.events.finished.cycles, 250);
    EXPECT_EQ(rig.Health(0).completed, 250);
}

TEST(Backoff, ASilentMeterIsAskedLessOftenAndTheOthersKeepTheirRate) {
    HostRig rig({1, 2}, cycles(40, 1.0));
    rig.line.dead_slaves = {2};
    rig.Run();
    EXPECT_EQ(rig.Health(0).completed, 40);
    const std::size_t asked = rig.CycleStarts(1).size();
    EXPECT_LT(asked, 12u);
    EXPECT_GE(asked, 5u);  // still tried now and then
    EXPECT_EQ(rig.Health(1).failed + rig.Health(1).skipped, 40);
    ASSERT_FALSE(rig.events.backoff_next.empty());
    // It never answered: the configured timeout once, and silence ends
    // its cycle; from then on a probe of one attempt.
    std::vector<int> attempts;
    for (const auto& report : rig.events.reports) {
        if (report->meter->slave == 2) attempts.push_back(report->troubled.at(0).attempts);
    }
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_EQ(std::count(attempts.begin(), attempts.end(), 1), static_cast<long>(attempts.size()));
    // A probe waits about what meter 1's answers take, not the timeout:
    // meter 1 loses the first slot to meter 2's first try, and no other.
    const auto starts = rig.CycleStarts(0);
    std::size_t off_slot = 0;
    for (std::size_t i = 1; i < starts.size(); ++i) off_slot += starts[i] - starts[i - 1] != std::chrono::seconds(1);
    EXPECT_LE(off_slot, 1u);
}

TEST(Backoff, AMeterThatAnsweredBeforeKeepsItsRetriesShortenedOnceItFallsSilent) {
    HostRig rig({1, 2}, cycles(12, 1.0));
    rig.line.before_read = [&] {
        if (rig.line.requests.size() == 9) rig.line.dead_slaves = {2};  // in the second cycle
    };
    rig.Run();
    std::vector<int> attempts;
    for (const auto& report : rig.events.reports) {
        if (report->meter->slave == 2 && !report->troubled.empty()) attempts.push_back(report->troubled.at(0).attempts);
    }
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_EQ(attempts.front(), 3);  // the configured timeout, then retries of what its answers take
    // Waits below the configured timeout, and never below the answer's own time on the wire.
    ASSERT_FALSE(rig.line.timeouts.empty());
    const int shortest = *std::min_element(rig.line.timeouts.begin(), rig.line.timeouts.end());
    EXPECT_LT(shortest, 1000);
    EXPECT_GT(shortest, 66);  // read 1792/22 and its answer at 9600 baud, 8N1
    EXPECT_EQ(rig.Health(0).completed, 12);
}

TEST(Backoff, AMeterThatAnswersAgainIsPolledEveryCycle) {
    HostRig rig({1}, cycles(40, 1.0));
    rig.line.dead_slaves = {1};
    rig.line.revive_after_requests = 7;  // five cycles: three attempts, then a probe of one each
    rig.Run();
    ASSERT_FALSE(rig.events.backoff_next.empty());
    ASSERT_EQ(rig.events.recovered.size(), 1u);
    const int back = rig.events.recovered.front();
    // From the cycle it answered again, every cycle completed.
    EXPECT_EQ(rig.Health(0).completed, 40 - back + 1);
    EXPECT_EQ(rig.Health(0).failed, 5);
    EXPECT_EQ(rig.Health(0).backed_off_until, 0);
}

TEST(Inbox, AWriteAskedForDuringALongWaitIsCarriedOutWithinATenthOfASecondWithoutSpinning) {
    WriteInbox inbox;
    PollOptions options = cycles(2, 10.0);
    options.inbox = &inbox;
    HostRig rig({1}, options);
    std::optional<Clock::time_point> asked, done;
    int sleeps_at_ask = 0;
    rig.clock.after_sleep = [&] {
        if (rig.clock.sleeps > 1000) rig.stop.Request();  // a loop that spins would never end otherwise
        // Three seconds into the wait after cycle 1, a client asks for a write.
        const Clock::time_point first = rig.CycleStarts(0).empty() ? Clock::time_point{} : rig.CycleStarts(0).front();
        if (asked || rig.CycleStarts(0).empty() || rig.clock.Now() - first < std::chrono::seconds(3)) return;
        asked = rig.clock.Now();
        sleeps_at_ask = rig.clock.sleeps;
        inbox.Submit(WriteRequest{10, {256, 7}, "test"}, [&](std::int32_t) { done = rig.clock.Now(); });
    };
    rig.Run();
    ASSERT_TRUE(asked && done);
    EXPECT_LE(*done - *asked, std::chrono::milliseconds(100) + std::chrono::milliseconds(50) * 2)
        << "the write waited for the next cycle";  // the slice, then the write and its echo on the line
    // The ten-second wait sleeps in tenths of a second, and no more often.
    EXPECT_LE(rig.clock.sleeps, 100 + 2);
    EXPECT_GT(rig.clock.sleeps, sleeps_at_ask);
    ASSERT_EQ(rig.events.writes.size(), 1u);
    EXPECT_EQ(rig.events.writes[0].status, write_outcome::kConfirmed);
}

TEST(Reports, EachCycleIsOneReportWithItsRecordAlarmsChangesAndSnapshot) {
    HostRig rig({1}, cycles(3));
    rig.meters[0].setting["appSetting"]["b_mode"] = 2;
    rig.meters[0].thresholds["110200010010"] = Threshold{1, 0.0f};  // phase 1 voltage above 0: always up
    rig.meters[0].thresholds["110200020010"] = Threshold{1, 0.0f};  // below 0: never
    rig.line.script = {LineFault::none, LineFault::none, LineFault::none, LineFault::none, LineFault::timeout,
                       LineFault::timeout, LineFault::timeout};  // cycle 2 fails at its first block
    rig.Run();
    ASSERT_EQ(rig.events.reports.size(), 3u);
    const CycleReport& first = *rig.events.reports[0];
    EXPECT_EQ(first.kind, CycleKind::poll);
    EXPECT_EQ(first.record.size(), 167u);
    EXPECT_EQ(first.stored, first.record);
    EXPECT_EQ(first.record_id, 5156u);
    EXPECT_EQ(first.alarms.size(), 2u);
    ASSERT_EQ(first.alarm_changes.size(), 1u);  // the rule that is up; the normal one is no change
    EXPECT_TRUE(first.alarm_changes[0].up);
    EXPECT_TRUE(first.snapshot.isMember("相电压1"));
    EXPECT_EQ(first.health.completed, 1);

    const CycleReport& failed = *rig.events.reports[1];
    EXPECT_EQ(failed.kind, CycleKind::failed);
    EXPECT_FALSE(failed.Published());
    ASSERT_EQ(failed.troubled.size(), 1u);
    EXPECT_EQ(failed.troubled[0].kind, "timeout");
    EXPECT_EQ(failed.health.failures.at("timeout"), 1);

    // The failed cycle between them changes nothing: the rule stays up.
    EXPECT_TRUE(rig.events.reports[2]->alarm_changes.empty());
}

TEST(Reports, AReloadIsAReportOfItsOwnAndLeavesTheFirstCyclesSnapshotToThatCycle) {
    HostRig rig({1}, cycles(1));
    rig.stored = std::vector<unsigned char>(167, 0);  // every quantity 0
    rig.wall_clock = &one_second;                     // the reload and the cycle in one second
    rig.Run();
    ASSERT_EQ(rig.events.reports.size(), 2u);
    const CycleReport& reload = *rig.events.reports[0];
    EXPECT_EQ(reload.kind, CycleKind::reload);
    EXPECT_TRUE(reload.Published());
    EXPECT_TRUE(reload.alarm_changes.empty());
    const CycleReport& first = *rig.events.reports[1];
    const oracle::RegisterBank& bank = rig.line.banks[1];
    const auto raw = static_cast<std::int32_t>(static_cast<std::uint32_t>(bank.Get(oracle::kPhaseVoltage1)) << 16 |
                                               bank.Get(oracle::kPhaseVoltage1 + 1));
    EXPECT_EQ(first.snapshot["相电压1"].asInt(), raw / 10) << "the snapshot is the reloaded record's";
}

// Several lines share the inbox: a slow line's waiting writes never hold up
// another's, and each line takes only its own meters' writes.
TEST(Inbox, EachMeterHasPlacesOfItsOwnAndEachLineTakesOnlyItsMeters) {
    WriteInbox inbox;
    const auto ignored = [](std::int32_t) {};
    for (std::size_t i = 0; i < WriteInbox::kMostPending; ++i) EXPECT_TRUE(inbox.Submit(WriteRequest{1, {256, 1}, "test"}, ignored));
    EXPECT_FALSE(inbox.Submit(WriteRequest{1, {256, 1}, "test"}, ignored));
    EXPECT_TRUE(inbox.Submit(WriteRequest{2, {256, 1}, "test"}, ignored));
    const auto line_of_2 = [](std::uint32_t id) { return id == 2; };
    EXPECT_EQ(inbox.Take(line_of_2).size(), 1u);
    EXPECT_TRUE(inbox.Take(line_of_2).empty());
    EXPECT_EQ(inbox.Take([](std::uint32_t id) { return id == 1; }).size(), WriteInbox::kMostPending);
}

TEST(Stop, ARequestCutShortByAStopIsNoFailureOfTheMeter) {
    HostRig rig({1}, cycles(0, 1.0));
    int reads = 0;
    // The stop arrives while the third cycle waits for an answer that will not come.
    rig.line.before_read = [&] {
        if (++reads != 10) return;
        rig.stop.Request();
        rig.line.dead_slaves = {1};
    };
    rig.Run();
    EXPECT_EQ(rig.Health(0).completed, 2);
    EXPECT_EQ(rig.Health(0).failed, 0);
    for (const auto& [cause, count] : rig.Health(0).failures) EXPECT_EQ(count, 0u) << cause;
    for (const auto& report : rig.events.reports) EXPECT_NE(report->kind, CycleKind::failed);
}

// The line's sign of life for the service watchdog holds through its
// slowest work, dozens of silent meters each waiting out its timeouts and a
// ten-minute wait for the next cycle, and not past the time it promised.
TEST(Heartbeat, ASlowLineIsAliveAfterEveryMeterAndThroughALongWaitAndStallsOnceItStops) {
    std::vector<int> slaves;
    for (int slave = 1; slave <= 24; ++slave) slaves.push_back(slave);
    Heartbeat heartbeat;
    PollOptions options = cycles(2, 600);
    options.heartbeat = &heartbeat;
    HostRig rig(slaves, options);
    rig.line.dead_slaves.insert(slaves.begin(), slaves.end());
    int checked = 0;
    const auto alive = [&] {
        ++checked;
        EXPECT_TRUE(heartbeat.AliveAt(rig.clock.Now())) << "check " << checked;
    };
    rig.events.after_cycle = [&](const CycleReport&) { alive(); };
    rig.clock.after_sleep = alive;
    const auto start = rig.clock.Now();
    rig.Run();
    EXPECT_GT(rig.clock.Now() - start, std::chrono::minutes(10));
    EXPECT_GE(checked, 48);
    rig.clock.Advance(std::chrono::minutes(10));
    EXPECT_FALSE(heartbeat.AliveAt(rig.clock.Now()));
}
