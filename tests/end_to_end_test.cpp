// qmxhost driving the built plug-in against qv5810-sim over a pseudo-terminal:
// what the host publishes must be what the simulated meter served.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>
#include <sqlite3.h>

#include "tests/support/child_process.h"
#include "tests/support/sim_meter.h"

TEST(EndToEnd, EveryPublishedRecordIsACycleTheMeterServed) {
    Meter meter;
    ASSERT_FALSE(meter.port.empty());
    const HostRun run = run_host(meter, {"--cycles", "5", "--snapshot"});
    EXPECT_EQ(run.status, 0);
    const auto published = run.Of("publish");
    ASSERT_EQ(published.size(), 5u);
    const auto served = meter.ServedCycles();
    std::vector<unsigned char> previous;
    for (const auto& event : published) {
        EXPECT_EQ(event["data_id"].asInt(), 5156);
        const auto record = unhex(event["record"].asString());
        ASSERT_EQ(record.size(), 167u);
        EXPECT_EQ(record[0], 1);  // the configured data id as the device id
        EXPECT_TRUE(from_one_served_cycle(record, served));
        EXPECT_NE(std::vector<unsigned char>(record.begin() + 144, record.begin() + 148),
                  previous.empty() ? std::vector<unsigned char>() : std::vector<unsigned char>(previous.begin() + 144, previous.begin() + 148));
        previous = record;
    }
    EXPECT_EQ(run.Of("history").size(), 5u);
    EXPECT_EQ(run.Of("snapshot").size(), 5u);
    // Every rule (each is enabled in the example) once at the first cycle; no rule changes after.
    EXPECT_EQ(run.Of("alarm").size(), 27u);
    EXPECT_TRUE(run.Of("error").empty());
}

TEST(EndToEnd, SeveralMetersOnOneLineArePolledInTurn) {
    Meter meter({"--slave", "3", "--slave", "9"});
    const std::string config = temp_path("two_meters.json");
    std::FILE* file = std::fopen(config.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(R"({"devices": [
        {"name": "incomer", "data_id": 31, "slave": 3, "setting": {"appSetting": {"b_mode": 1}}},
        {"name": "feeder", "data_id": 91, "slave": 9, "setting": {"appSetting": {"b_mode": 1}}}]})", file);
    std::fclose(file);
    const HostRun run = run_host(meter, {"--cycles", "3"}, config);
    std::remove(config.c_str());
    const auto published = run.Of("publish");
    ASSERT_EQ(published.size(), 6u);
    for (std::size_t i = 0; i < published.size(); ++i) {
        const bool first = i % 2 == 0;
        EXPECT_EQ(published[i]["device"].asInt(), first ? 31 : 91);
        const auto record = unhex(published[i]["record"].asString());
        EXPECT_EQ(record[0], first ? 31 : 91);
        EXPECT_TRUE(from_one_served_cycle(record, meter.ServedCycles(first ? 3 : 9)));
    }
}

TEST(EndToEnd, AlarmLevelsOutsideModeTwoAreReportedAsUnused) {
    Meter meter;
    const std::string config = temp_path("misspelt_mode.json");
    std::FILE* file = std::fopen(config.c_str(), "w");
    ASSERT_NE(file, nullptr);
    // "b_mdoe" is the device's own business, so it is not refused; but no rule is judged.
    std::fputs(R"({"devices": [{"data_id": 5, "setting": {"appSetting": {"b_mdoe": 2}},
        "thresholds": {"110200010010": {"level": 1, "value": 200}}}]})", file);
    std::fclose(file);
    const HostRun run = run_host(meter, {"--cycles", "1"}, config);
    std::remove(config.c_str());
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.Of("alarm").empty());
    const auto problems = run.Of("problem");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0]["message"].asString().find("b_mode is not 2"), std::string::npos);
    // The example configuration is in mode 2 and says nothing of the kind.
    EXPECT_TRUE(run_host(meter, {"--cycles", "1"}).Of("problem").empty());
}

TEST(EndToEnd, WritesConfirmedAndNotConfirmed) {
    Meter meter;
    struct Case { const char* write; int status; } cases[] = {
        {"256=4660", 1},      // one register
        {"300=1,2,3", 1},     // three registers
        {"5000=1", 3},        // beyond the meter's registers: refused with an exception
    };
    for (const auto& c : cases) {
        const HostRun run = run_host(meter, {"--cycles", "1", "--write", c.write});
        const auto status = run.Of("write_status");
        ASSERT_EQ(status.size(), 1u) << c.write;
        EXPECT_EQ(status[0]["status"].asInt(), c.status) << c.write;
    }
}

TEST(EndToEnd, FaultsNeverPublishAPartialRecordAndPollingRecovers) {
    Meter meter({"--drop-every", "9", "--corrupt-every", "13", "--exception-every", "17"});
    const HostRun run = run_host(meter, {"--cycles", "20", "--timeout-ms", "400", "--retries", "0"});
    const auto errors = run.Of("error");
    std::map<std::string, int> kinds;
    for (const auto& e : errors) ++kinds[e["kind"].asString()];
    EXPECT_GT(kinds["timeout"], 0);
    EXPECT_GT(kinds["crc"], 0);
    EXPECT_GT(kinds["exception"], 0);
    const auto served = meter.ServedCycles();
    const auto published = run.Of("publish");
    for (const auto& event : published) EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served));
    // Polling recovers: cycles keep completing between the failures.
    int recovered = 0;
    bool failed_before = false;
    for (const auto& event : run.events) {
        if (event["event"].asString() == "error") failed_before = true;
        if (event["event"].asString() == "publish" && failed_before) {
            ++recovered;
            failed_before = false;
        }
    }
    EXPECT_GE(recovered, 3);
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    EXPECT_EQ(summary["completed"].asInt() + summary["failed"].asInt() + summary["skipped"].asInt(), 20);
    EXPECT_EQ(summary["completed"].asUInt(), published.size());
}

// The lines of `said` that hold every one of `parts`.
int lines_with(const std::vector<std::string>& said, const std::vector<std::string>& parts) {
    int count = 0;
    for (const std::string& line : said) {
        bool all = true;
        for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
        count += all ? 1 : 0;
    }
    return count;
}

TEST(EndToEnd, QuietOutputKeepsOneLinePerChangeOfAnAlarmOrAMeter) {
    // An over-voltage over cycles 2 and 3; every 7th answer swallowed (a cycle asks four).
    Meter meter({"--overvoltage-at", "2", "--overvoltage-cycles", "2", "--drop-every", "7"});
    std::vector<std::string> said;
    host_status({"--port", meter.port, "--cycles", "8", "--interval", "0", "--quiet", "--retries", "0",
                 "--timeout-ms", "1000"},
                &said);
    // In English beside the controller's text, the measured value beside the whole number compared.
    EXPECT_EQ(lines_with(said, {"ALARM 110200010010 phase 1 voltage high: 2", " V, compared as 2", "threshold 253",
                                "level 1", "过高"}),
              1);
    EXPECT_EQ(lines_with(said, {"alarm cleared 110200010010", "threshold 253", "level 1"}), 1);
    // Each single failed cycle once, and its recovery once (the run may end on a failure).
    const int failing = lines_with(said, {"failing: read", "timeout"});
    EXPECT_GE(failing, 2);
    EXPECT_GE(lines_with(said, {"answering again after 1 failed cycle(s)"}), failing - 1);
    EXPECT_LE(lines_with(said, {"answering again"}), failing);
    EXPECT_EQ(lines_with(said, {"snapshot"}), 0);  // no cycle's table
    EXPECT_EQ(lines_with(said, {"summary of ", ": 8 cycles"}), 1);

    // A meter that never answers: one line when it fails, one per length of its pause.
    said.clear();
    host_status({"--port", meter.port, "--slave", "9", "--cycles", "80", "--interval", "0", "--quiet", "--retries",
                 "0", "--timeout-ms", "50"},
                &said);
    EXPECT_EQ(lines_with(said, {"failing: read"}), 1);
    // Pauses of 1, 2, 4 ... 32 cycles from the third failure on, each said
    // once; the longest, tried at cycle 72 again, is not said again.
    EXPECT_EQ(lines_with(said, {"backing off, next try in cycle"}), 6);
    EXPECT_EQ(lines_with(said, {"backing off, next try in cycle 72"}), 1);
}

TEST(EndToEnd, HistorySurvivesKillAndIsReloaded) {
    Meter meter;
    const std::string db = temp_path("history.db");
    std::vector<std::vector<unsigned char>> before_kill;
    {
        // Batches of about four records, and a dozen published before the kill.
        ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG,
                           "--port", meter.port, "--json", "--interval", "0.05", "--history", db,
                           "--history-batch-s", "0.2"});
        while (before_kill.size() < 12) {
            const auto line = host.ReadLine(kPatienceMs);
            ASSERT_TRUE(line.has_value());
            const Json::Value event = parse_event(*line);
            if (event["event"].asString() == "publish") before_kill.push_back(unhex(event["record"].asString()));
        }
        host.Kill(SIGKILL);
        EXPECT_EQ(host.Wait(), 128 + SIGKILL);
        // Whatever it published before the kill landed is still in the pipe.
        for (const std::string& line : host.ReadAll(1000)) {
            const Json::Value event = parse_event(line);
            if (event["event"].asString() == "publish") before_kill.push_back(unhex(event["record"].asString()));
        }
    }
    const HostRun restart = run_host(meter, {"--cycles", "1", "--history", db});
    const auto published = restart.Of("publish");
    ASSERT_GE(published.size(), 2u);  // the reloaded record, then a fresh cycle
    const auto reloaded = unhex(published[0]["record"].asString());
    // At most the batch under way when the host was killed is lost.
    bool matches_a_recent_record = false;
    for (std::size_t i = before_kill.size() - 8; i < before_kill.size(); ++i) {
        matches_a_recent_record |= std::equal(reloaded.begin(), reloaded.begin() + 160, before_kill[i].begin());
    }
    EXPECT_TRUE(matches_a_recent_record);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
}


TEST(EndToEndFaults, ShortAnswersNeverReachTheDeviceNorAPublishedRecord) {
    Meter meter({"--short-every", "3"});
    const HostRun run = run_host(meter, {"--cycles", "12"});
    std::map<std::string, int> kinds;
    int short_answers = 0;
    std::FILE* log = std::fopen(meter.log.c_str(), "r");
    char line[8192];
    while (log != nullptr && std::fgets(line, sizeof line, log) != nullptr) {
        short_answers += parse_event(line)["fault"].asString() == "short";
    }
    if (log != nullptr) std::fclose(log);
    ASSERT_GT(short_answers, 3);
    // Each short answer was refused and asked again; the retry completed the cycle.
    int retried = 0;
    for (const auto& e : run.Of("retried")) retried += e["attempts"].asInt() - 1;
    for (const auto& e : run.Of("error")) retried += e["attempts"].asInt();
    EXPECT_EQ(retried, short_answers);
    const auto published = run.Of("publish");
    EXPECT_EQ(published.size(), 12u);
    const auto served = meter.ServedCycles();
    for (const auto& event : published) {
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served)) << event["record"].asString();
    }
    EXPECT_EQ(run.status, 0);
}

TEST(EndToEndFaults, WithTwoRetriesADroppedAnswerCostsNoCycle) {
    Meter meter({"--drop-every", "3"});
    const HostRun run = run_host(meter, {"--cycles", "20", "--timeout-ms", "200"});
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    EXPECT_GE(summary["completed"].asInt(), 19);  // at least 95 %
    EXPECT_GT(summary["retries"].asInt(), 10);
    const auto served = meter.ServedCycles();
    for (const auto& event : run.Of("publish")) {
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served));
    }
}

TEST(EndToEndFaults, ALateAnswerCostsAtMostTheCycleItFallsIn) {
    // Every 5th answer comes 1.5 s late: after the 1 s timeout (which no
    // other answer outlasts, however busy the machine), within the quiet
    // window of one more timeout that follows it.
    Meter meter({"--slow-every", "5", "--slow-ms", "1500"});
    const HostRun run = run_host(meter, {"--cycles", "5", "--timeout-ms", "1000", "--retries", "0"});
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    int slow = 0;
    std::FILE* log = std::fopen(meter.log.c_str(), "r");
    char line[8192];
    while (log != nullptr && std::fgets(line, sizeof line, log) != nullptr) slow += parse_event(line)["fault"].asString() == "slow";
    if (log != nullptr) std::fclose(log);
    EXPECT_GE(slow, 1) << "no answer came late: the test tried nothing";
    EXPECT_LE(summary["failed"].asInt(), slow);
    const auto served = meter.ServedCycles();
    for (const auto& event : run.Of("publish")) {
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served));
    }
}

// An adapter unplugged and plugged in again: the port, named by a link as
// /dev/serial/by-id/ names it, vanishes and comes back as another device.
// The site's other line, with a meter of its own, goes on meanwhile.
TEST(EndToEndFaults, APortThatGoesAwayIsOpenedAgainByItsPathAndTheOtherLineGoesOn) {
    auto first = std::make_unique<Meter>();
    const std::string link = temp_path("by-id-link");
    ASSERT_EQ(symlink(first->port.c_str(), link.c_str()), 0);
    Json::Value example;
    std::ifstream(QV5810_TEST_CONFIG) >> example;
    Json::Value site;
    Json::Value& unplugged = site["lines"][0];
    unplugged["port"] = link;
    unplugged["response_timeout_ms"] = 200;
    unplugged["retries"] = 0;
    unplugged["devices"].append(example["devices"][0]);
    Json::Value other = example["devices"][0];
    other["data_id"] = 2;
    const Meter steady;  // the other line's meter
    site["lines"][1]["port"] = steady.port;
    site["lines"][1]["devices"].append(other);
    const std::string config = temp_path("site.json");
    std::ofstream(config) << site;
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", config, "--json", "--interval", "0.05"});
    std::map<std::string, int> other_line;  // device 2's events while device 1 is away
    bool away = false;
    auto read_until = [&](const std::string& kind) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = host.ReadLine(kPatienceMs);
            if (!line) return false;
            const Json::Value event = parse_event(*line);
            if (away && event["device"].asInt() == 2) ++other_line[event["event"].asString()];
            if (event["event"].asString() == kind && event["device"].asInt() == 1) return true;
        }
        return false;
    };
    ASSERT_TRUE(read_until("publish"));
    // Unplugged: the link goes with the adapter, so that the terminal's
    // number, free again, is not reopened as whatever takes it next.
    ASSERT_EQ(std::remove(link.c_str()), 0);
    first.reset();
    ASSERT_TRUE(read_until("backoff"));
    away = true;
    Meter second;  // plugged in again
    ASSERT_EQ(symlink(second.port.c_str(), link.c_str()), 0);
    ASSERT_TRUE(read_until("recovered"));
    away = false;
    ASSERT_TRUE(read_until("publish"));
    host.Kill(SIGINT);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_FALSE(second.ServedCycles().empty());
    EXPECT_GE(other_line["publish"], 1);
    EXPECT_EQ(other_line["error"] + other_line["backoff"], 0);
    std::remove(link.c_str());
    std::remove(config.c_str());
}

TEST(EndToEndFaults, AnAnswerLateBehindAStrayFrameIsNeverTakenForTheRetry) {
    // Before every 6th answer, another slave's frame at once; the answer
    // itself 300 ms later, within the response timeout. The stray frame
    // fails the attempt; the late answer must be waited out, not read as the
    // retry's, or its block would join the blocks of the meter's next cycle.
    Meter meter({"--stray-every", "6", "--slow-ms", "300"});
    const HostRun run = run_host(meter, {"--cycles", "6", "--timeout-ms", "1000"});
    EXPECT_GE(meter.Faults("stray"), 3);
    EXPECT_EQ(run.Of("retried").size(), static_cast<std::size_t>(meter.Faults("stray")));
    const auto served = meter.ServedCycles();
    const auto published = run.Of("publish");
    EXPECT_EQ(published.size(), 6u);  // each retried, none lost
    for (const auto& event : published) {
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served)) << event["record"].asString();
    }
}

TEST(EndToEndStatus, NonZeroWhenAMeterCompletedNoCycle) {
    Meter meter;
    const HostRun wrong_slave = run_host(meter, {"--cycles", "2", "--slave", "9", "--timeout-ms", "100"});
    EXPECT_EQ(wrong_slave.status, 2);
    EXPECT_EQ(run_host(meter, {"--cycles", "2"}).status, 0);
    // The console's summary says so instead of showing zero times.
    ChildProcess console({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG,
                          "--port", meter.port, "--interval", "0", "--quiet", "--cycles", "1", "--slave", "9",
                          "--timeout-ms", "100"});
    std::string said;
    for (const std::string& line : console.ReadAll(kPatienceMs)) said += line + "\n";
    EXPECT_EQ(console.Wait(), 2);
    EXPECT_NE(said.find("no cycle completed; no request was answered"), std::string::npos) << said;
    EXPECT_EQ(said.find("mean cycle"), std::string::npos) << said;
}

TEST(EndToEndStatus, NonZeroWhenTheWriteWasNotConfirmed) {
    Meter meter;
    EXPECT_EQ(run_host(meter, {"--cycles", "1", "--write", "5000=1"}).status, 3);
    EXPECT_EQ(run_host(meter, {"--cycles", "1", "--write", "256=7"}).status, 0);
}

TEST(EndToEndInput, BadNumbersAndSettingsAreRefused) {
    // On a port that answers, so that only the refusal can end the run early.
    Meter meter;
    ASSERT_EQ(host_status({"--port", meter.port, "--cycles", "1"}), 0);
    for (std::vector<std::string> bad : {
             std::vector<std::string>{"--interval", "nan"}, {"--interval", "inf"}, {"--cycles", "-1"},
             {"--cycles", "1x"}, {"--baud", "12345"}, {"--baud", "-5"}, {"--baud", "14400"},
             {"--write", "256=70000"}, {"--write", "256="}, {"--write", "65530=1,2,3,4,5,6,7"},
             {"--retries", "11"}, {"--data-bits", "9"},
             {"--rts", "sideways"}, {"--timeout-ms", "0x"}, {"--slave", "248"},
             {"--http", ""}, {"--mqtt", ""}, {"--mqtt-prefix", "x/"}, {"--mqtt-queue", "5"}, {"--http", "70000"}}) {
        bad.insert(bad.begin(), {"--port", meter.port, "--cycles", "1"});
        EXPECT_EQ(host_status(bad), 1) << bad[4] << " " << bad[5];
    }
    // A logins file with no login would leave writes open: refused.
    const std::string users = temp_path("users");
    std::FILE* file = std::fopen(users.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("# nobody yet\n", file);
    std::fclose(file);
    std::vector<std::string> said;
    EXPECT_EQ(host_status({"--port", meter.port, "--cycles", "1", "--http", "0", "--allow-writes", "--http-users", users},
                          &said),
              1);
    EXPECT_EQ(lines_with(said, {"holds no login"}), 1);
    std::remove(users.c_str());
}

TEST(EndToEndInput, RS485ModeOnAPortWithoutItIsAPlainError) {
    Meter meter;  // a pseudo-terminal has no RS-485 mode
    EXPECT_EQ(host_status({"--port", meter.port, "--cycles", "1", "--rs485"}), 1);
}

TEST(EndToEndInput, ALeadingZeroIsDecimalNotOctal) {
    Meter meter;
    const HostRun run = run_host(meter, {"--cycles", "1", "--write", "256=010"});
    EXPECT_EQ(run.status, 0);
    std::FILE* log = std::fopen(meter.log.c_str(), "r");
    char line[8192];
    std::vector<int> written;
    while (log != nullptr && std::fgets(line, sizeof line, log) != nullptr) {
        const Json::Value event = parse_event(line);
        if (event["event"].asString() == "wrote") written.push_back(event["values"][0].asInt());
    }
    if (log != nullptr) std::fclose(log);
    EXPECT_EQ(written, std::vector<int>{10});
}

TEST(EndToEndEvents, CarryTimeCycleDurationAndTheSnapshotAsAnObject) {
    Meter meter;
    const HostRun run = run_host(meter, {"--cycles", "2"});
    const auto cycles = run.Of("cycle");
    ASSERT_EQ(cycles.size(), 2u);
    EXPECT_EQ(cycles[1]["cycle"].asInt(), 2);
    EXPECT_GT(cycles[1]["duration_ms"].asDouble(), 0.0);
    for (const auto& event : run.events) {
        const std::string utc = event["utc"].asString();
        EXPECT_TRUE(utc.size() == 24 && utc[10] == 'T' && utc.back() == 'Z') << utc;
    }
    const auto snapshots = run.Of("snapshot");
    ASSERT_EQ(snapshots.size(), 2u);
    ASSERT_TRUE(snapshots[0]["snapshot"].isObject());
    EXPECT_TRUE(snapshots[0]["snapshot"]["相电压1"].isNumeric());
}

TEST(EndToEndEvents, AReloadFromTheHistoryIsAnEventOfItsOwn) {
    Meter meter;
    const std::string db = temp_path("reload.db");
    run_host(meter, {"--cycles", "1", "--history", db});
    const HostRun again = run_host(meter, {"--cycles", "1", "--history", db});
    const auto reloads = again.Of("reload");
    ASSERT_EQ(reloads.size(), 1u);
    EXPECT_TRUE(reloads[0]["taken"].asBool());
    const auto published = again.Of("publish");
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0]["kind"].asString(), "reload");
    EXPECT_EQ(published[1]["kind"].asString(), "poll");
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
}

// The host starts the simulator itself here, which the armhf run cannot:
// without binfmt_misc an ARM program cannot start another ARM program.
class EndToEndSimulatorLifetime : public testing::Test {
protected:
    void SetUp() override {
        if (!std::string(QV5810_TEST_EMULATOR).empty()) GTEST_SKIP() << "needs the host to start the simulator";
    }

    // qmxhost with its own simulator; the simulator's pid from the start event.
    pid_t Start(ChildProcess& host) {
        const auto line = host.ReadLine(kPatienceMs);
        if (!line) return -1;
        const Json::Value start = parse_event(*line);
        return start["event"].asString() == "start" ? static_cast<pid_t>(start["simulator_pid"].asInt()) : -1;
    }
};

TEST_F(EndToEndSimulatorLifetime, TheSimulatorDiesWithItsParentEvenAfterKill9) {
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--json"});
    const pid_t sim = Start(host);
    ASSERT_GT(sim, 0);
    ASSERT_TRUE(host.ReadLine(kPatienceMs).has_value());  // polling has begun
    host.Kill(SIGKILL);
    host.Wait();
    EXPECT_TRUE(gone_within(sim, kPatienceMs));
}

TEST_F(EndToEndSimulatorLifetime, ASimulatorHoldingBackAnAnswerStillDiesWithItsParent) {
    // Every answer held back 50 s, beyond the patience here.
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--json",
                       "--timeout-ms", "60000", "--sim-arg=--slow-every=1", "--sim-arg=--slow-ms=50000"});
    const pid_t sim = Start(host);
    ASSERT_GT(sim, 0);
    usleep(500 * 1000);  // the first request is out and its answer held back
    host.Kill(SIGKILL);
    host.Wait();
    EXPECT_TRUE(gone_within(sim, kPatienceMs));
}

// A service's journal with the packaged quiet output: the start is all it
// says of a healthy run, and it must say what runs, made-up readings above all.
TEST_F(EndToEndSimulatorLifetime, AQuietStartSaysWhatRunsAndThatTheReadingsAreMadeUp) {
    const std::string history = temp_path("quiet.db");
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--quiet",
                       "--cycles", "1", "--interval", "0", "--history", history});
    std::string said;
    for (const std::string& line : host.ReadAll(kPatienceMs)) said += line + "\n";
    EXPECT_EQ(host.Wait(), 0);
    for (const std::string& part : {std::string("qmxhost 1."), std::string("configuration ") + QV5810_TEST_CONFIG,
                                    std::string("SIMULATED"), std::string("9600 baud"), std::string("panel-1 main meter"),
                                    std::string("outlets: history ") + history}) {
        EXPECT_NE(said.find(part), std::string::npos) << part << " not in:\n" << said;
    }
    std::remove(history.c_str());
}

// SIGHUP reloads (service_test.cpp).
TEST_F(EndToEndSimulatorLifetime, TermAndAClosedPipeEndTheRunCleanly) {
    for (int signal : {SIGTERM, SIGPIPE, SIGINT}) {
        ChildProcess host(
            {QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--json"});
        const pid_t sim = Start(host);
        ASSERT_GT(sim, 0);
        ASSERT_TRUE(host.ReadLine(kPatienceMs).has_value());
        host.Kill(signal);
        // Ended by its own hand, with a status, not by the signal.
        const int status = host.Wait();
        EXPECT_LT(status, 128) << signal;
        EXPECT_TRUE(gone_within(sim, kPatienceMs)) << signal;
    }
}

TEST(EndToEndInterrupt, CtrlCEndsAWaitOnALongTimeout) {
    Meter meter;  // answers slave 1 only: the host would wait 60 s per attempt on slave 9
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--json",
                       "--port", meter.port, "--slave", "9", "--timeout-ms", "60000"});
    ASSERT_TRUE(host.ReadLine(kPatienceMs).has_value());  // the start event
    usleep(500 * 1000);
    const auto start = std::chrono::steady_clock::now();
    host.Kill(SIGINT);
    EXPECT_EQ(host.Wait(), 2);  // no cycle completed
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// Every line of a site waits on an answer the meter holds back 20 s when
// SIGTERM comes: the stop reaches all of them at once, so the run ends with
// its summaries before any meter says another word, and no cut request
// counts as the meter's failure.
TEST(EndToEndInterrupt, ASiteStopsOnEveryLineAtOnce) {
    std::vector<std::unique_ptr<Meter>> meters;
    Json::Value config;
    for (int l = 0; l < 4; ++l) {
        meters.push_back(std::make_unique<Meter>(std::vector<std::string>{"--slow-every", "1", "--slow-ms", "20000"}));
        Json::Value line;
        line["port"] = meters.back()->port;
        line["response_timeout_ms"] = 30000;
        line["retries"] = 0;
        line["devices"][0]["data_id"] = l + 1;
        config["lines"].append(line);
    }
    const std::string path = temp_path("site.json");
    std::ofstream(path) << Json::writeString(Json::StreamWriterBuilder(), config);
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", path, "--json"});
    const auto events_in = [](const std::string& log, const std::string& kind) {
        std::vector<Json::Value> found;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            const Json::Value event = parse_event(line);
            if (kind.empty() || event["event"].asString() == kind) found.push_back(event);
        }
        return found;
    };
    // Every line has its first request on the wire.
    for (const auto& meter : meters) {
        for (int waited = 0; events_in(meter->log, "request").empty(); waited += 20) {
            ASSERT_LT(waited, kPatienceMs) << meter->log;
            usleep(20 * 1000);
        }
    }
    const auto signalled = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    host.Kill(SIGTERM);
    std::vector<Json::Value> summaries;
    for (const std::string& line : host.ReadAll(kPatienceMs)) {
        const Json::Value event = parse_event(line);
        if (event["event"] == "summary") summaries.push_back(event);
        EXPECT_NE(event["event"].asString(), "error") << line;
    }
    EXPECT_EQ(host.Wait(), 2);  // no meter completed a cycle
    ASSERT_EQ(summaries.size(), 4u);
    for (const Json::Value& summary : summaries) EXPECT_EQ(summary["devices"][0]["failed"].asInt(), 0) << summary;
    // No request begun after the signal. The simulator's own entries for the
    // request it holds (its delay, its answer planned) may trail the request
    // by a few milliseconds on a loaded machine: only requests count.
    for (const auto& meter : meters) {
        const auto requests = events_in(meter->log, "request");
        EXPECT_EQ(requests.size(), 1u) << meter->log;
        for (const Json::Value& event : requests) {
            EXPECT_LE(event["utc_ms"].asInt64(), signalled) << meter->log << ": " << event;
        }
    }
    std::remove(path.c_str());
}

TEST(EndToEndHistory, ALockHeldByAnotherProcessIsReportedAndPollingGoesOn) {
    Meter meter;
    const std::string db = temp_path("locked.db");
    ASSERT_EQ(run_host(meter, {"--cycles", "1", "--history", db}).status, 0);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const HostRun locked = run_host(meter, {"--cycles", "3", "--history", db});
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(locked.status, 4);  // polled, but records were lost
    EXPECT_EQ(locked.Of("cycle").size(), 3u);
    const auto problems = locked.Of("problem");
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.front()["message"].asString().find("busy"), std::string::npos);
    EXPECT_NE(problems.back()["message"].asString().find("not stored"), std::string::npos);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
}

// The host alone sees `dir` as a file system of its own: a tmpfs of 160 KiB,
// or `dir` itself made read-only (a mount namespace of an unprivileged user).
std::vector<std::string> in_own_mount(const std::string& dir, bool read_only) {
    const std::string mount = read_only ? "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\""
                                        : "mount -t tmpfs -o size=160k tmpfs \"$0\"";
    return {"unshare", "--user", "--map-root-user", "--mount", "sh", "-c", mount + " && exec \"$@\"", dir};
}

TEST(EndToEndHistory, AFullDiskOrAReadOnlyFileLeavesPollingGoingAndEndsWithTheHistoryStatus) {
    if (std::system("unshare --user --map-root-user --mount true") != 0) GTEST_SKIP() << "no mount namespaces here";
    Meter meter;
    const std::string dir = temp_path("history_disk");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string db = dir + "/history.db";
    const auto host_run = [&](bool read_only) {
        return run_host_on(meter.HostLine(), {"--cycles", "40", "--history", db, "--history-batch-s", "0"},
                           QV5810_TEST_CONFIG, in_own_mount(dir, read_only));
    };
    const auto expect_degraded = [](const HostRun& run, const std::string& cause) {
        EXPECT_EQ(run.status, 4);  // polled, but records were lost
        EXPECT_EQ(run.Of("publish").size(), 40u);
        const auto problems = run.Of("problem");
        ASSERT_EQ(problems.size(), 2u);  // once when it stopped taking records, once at the end
        EXPECT_NE(problems.front()["message"].asString().find(cause), std::string::npos) << problems.front()["message"].asString();
        EXPECT_NE(problems.back()["message"].asString().find("not stored"), std::string::npos) << problems.back()["message"].asString();
    };
    // The tmpfs fills up within a few records.
    expect_degraded(host_run(false), "full");

    ASSERT_EQ(run_host(meter, {"--cycles", "2", "--history", db}).status, 0);
    expect_degraded(host_run(true), "Read-only file system");
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
    rmdir(dir.c_str());
}

TEST(EndToEndHistory, ExportsTakeAMeterARangeAResolutionAndAFormat) {
    Meter meter;
    const std::string db = temp_path("export.db");
    ASSERT_EQ(run_host(meter, {"--cycles", "3", "--history", db}).status, 0);
    const auto export_lines = [&db](std::vector<std::string> options, int& status) {
        options.insert(options.begin(), {QV5810_TEST_HOST, "history"});
        ChildProcess exporting(options);
        const auto lines = exporting.ReadAll(kPatienceMs);
        status = exporting.Wait();
        return lines;
    };
    int status = -1;
    const auto rows = export_lines({"export", db, "--device", "1", "--format", "jsonl", "--to", "2999-01-01T00:00:00Z"}, status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(parse_event(rows[0])["meter"].asString(), "panel-1 main meter");
    EXPECT_TRUE(parse_event(rows[0])["phase_voltage_1_v"].isNumeric());
    EXPECT_TRUE(export_lines({"export", db, "--device", "2"}, status).size() == 1u && status == 0);  // the header alone
    EXPECT_EQ(export_lines({"--csv", db}, status).size(), 4u);  // as 1.0 spelt it
    EXPECT_EQ(status, 0);
    for (std::vector<std::string> bad : {std::vector<std::string>{"export", db, "--from", "yesterday"},
                                         {"export", db, "--resolution", "second"}, {db}}) {
        export_lines(bad, status);
        EXPECT_EQ(status, 1) << bad.back();
    }
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
}

// The commissioning commands against a simulated line of slaves 1 and 3.
TEST(Commissioning, ReadShowsWhatTheMeterServedAndScanFindsTheSlavesThatAnswer) {
    Meter meter({"--slave", "1", "--slave", "3"});
    std::vector<std::string> said;
    ASSERT_EQ(host_status({"--port", meter.port, "read", "--slave", "3", "1806", "2"}, &said), 0);
    std::string text;
    for (const std::string& line : said) text += line + "\n";
    // What the simulator's log says it served for that read, worked out here.
    Json::Value served;
    std::ifstream log(meter.log);
    for (std::string line; std::getline(log, line);) {
        const Json::Value event = parse_event(line);
        if (event["event"] == "served" && event["slave"] == 3 && event["address"] == 1806) served = event["values"];
    }
    ASSERT_EQ(served.size(), 2u) << text;
    const long volts_tenths = static_cast<long>(served[0].asUInt() << 16 | served[1].asUInt());
    char voltage[32];
    std::snprintf(voltage, sizeof voltage, "phase 1 voltage %ld.%ld V", volts_tenths / 10, volts_tenths % 10);
    char row[32];  // register 1807 as decimal and hex
    std::snprintf(row, sizeof row, " 1807  %5u  0x%04X", served[1].asUInt(), served[1].asUInt());
    EXPECT_NE(text.find(row), std::string::npos) << text;
    EXPECT_NE(text.find(voltage), std::string::npos) << text;
    EXPECT_NE(text.find("mbpoll -r 1807"), std::string::npos) << text;

    EXPECT_EQ(host_status({"--port", meter.port, "--timeout-ms", "200", "read", "--slave", "2", "1806"}, &said), 2);
    EXPECT_NE(said.at(0).find("timed out"), std::string::npos) << said.at(0);

    ASSERT_EQ(host_status({"--port", meter.port, "scan", "1-4"}, &said), 0);
    text.clear();
    for (const std::string& line : said) text += line + "\n";
    EXPECT_NE(text.find("slave 1: answers\nslave 3: answers\n2 slave id(s) answered"), std::string::npos) << text;
    EXPECT_EQ(host_status({"--port", meter.port, "scan", "5-6"}, &said), 2);
}

// A restarted simulator goes on counting where it stopped: whatever sums a
// meter's energy must never see it reset.
TEST(SimulatorState, EnergyCountersSurviveARestart) {
    const std::string state = temp_path("energy.json");
    // Imported active energy, Wh: the register pair from 1880, high half first.
    const auto imported_wh = [](const oracle::RegisterBank& bank) {
        return static_cast<std::uint32_t>(bank.Get(1880)) << 16 | bank.Get(1881);
    };
    std::uint32_t before = 0;
    {
        Meter first({"--state", state});
        ASSERT_EQ(run_host(first, {"--cycles", "3", "--interval", "0"}).status, 0);
        const auto served = first.ServedBanks();
        ASSERT_FALSE(served.empty());
        before = imported_wh(served.rbegin()->second);
        first.process->Kill(SIGTERM);  // stopped as a service is
        first.process->Wait();
    }
    Meter second({"--state", state});
    ASSERT_EQ(run_host(second, {"--cycles", "1"}).status, 0);
    const auto served = second.ServedBanks();
    ASSERT_FALSE(served.empty());
    EXPECT_GE(imported_wh(served.begin()->second), before);
    std::remove(state.c_str());
}

// Faults asked for one slave fall on its answers only, counted among its
// own: the line's other meter is never touched.
TEST(SimulatorFaults, FaultsAskedForOneSlaveFallOnItAlone) {
    for (const char* fault : {"--drop-every", "--exception-every"}) {
        Meter meter({"--slave", "1", "--slave", "2", fault, "2", "--faults-on", "2"});
        std::vector<int> statuses[3];
        for (int round = 0; round < 4; ++round) {
            for (int slave : {1, 2}) {
                statuses[slave].push_back(host_status({"--port", meter.port, "--timeout-ms", "200", "read", "--slave",
                                                       std::to_string(slave), "1792", "22"}));
            }
        }
        EXPECT_EQ(statuses[1], (std::vector<int>{0, 0, 0, 0})) << fault;
        EXPECT_EQ(statuses[2], (std::vector<int>{0, 2, 0, 2})) << fault;
    }
}
