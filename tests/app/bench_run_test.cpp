// The whole run wired from its settings, in-process: the simulators it
// starts, one per line, the outlets it feeds, and the exit status it ends with.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <sstream>
#include <filesystem>
#include <fstream>

#include "host/app/bench_run.h"
#include "host/config/settings_table.h"
#include "tests/support/json_text.h"
#include "tests/support/sim_meter.h"

namespace {

struct RunResult {
    int status = -1;
    std::vector<Json::Value> events;

    std::size_t Count(const std::string& kind) const {
        std::size_t n = 0;
        for (const Json::Value& e : events) n += e["event"].asString() == kind;
        return n;
    }
};

RunResult run(HostSettings settings) {
    settings.plugin = QV5810_TEST_PLUGIN;
    settings.output.json = true;
    std::FILE* out = std::tmpfile();
    StopSignal stop;
    RunResult result;
    result.status = run_bench_host(settings, RunEnvironment{QV5810_TEST_SIM, QV5810_TEST_EMULATOR, "test", out, &std::cerr, ""}, stop);
    std::rewind(out);
    char line[65536];
    while (std::fgets(line, sizeof line, out) != nullptr) result.events.push_back(parse_json(line).value_or(Json::Value()));
    std::fclose(out);
    return result;
}

}  // namespace

TEST(BenchRun, StartsTheSimulatorPollsAndEndsWithTheStatusOfTheWrite) {
    HostSettings settings = load_settings_file(QV5810_TEST_CONFIG);
    settings.cycles = 2;
    settings.interval_seconds = 0;
    const RunResult confirmed = run(settings);
    EXPECT_EQ(confirmed.status, 0);
    EXPECT_EQ(confirmed.Count("cycle"), 2u);
    ASSERT_FALSE(confirmed.events.empty());
    EXPECT_TRUE(confirmed.events.front()["simulator_pid"].isInt());
    ASSERT_EQ(confirmed.Count("summary"), 1u);
    // The simulator's pseudo-terminal takes no wire time: a latency less the
    // wire time would be no meter's turn-around.
    const auto device_summary = [](const RunResult& result) {
        for (const Json::Value& event : result.events) {
            if (event["event"] == "summary") return event["devices"][0];
        }
        return Json::Value();
    };
    EXPECT_FALSE(device_summary(confirmed).isMember("turnaround_ms"));

    HostSettings paced = settings;
    paced.lines.front().emulate_line = true;
    paced.cycles = 1;
    EXPECT_TRUE(device_summary(run(paced)).isMember("turnaround_ms"));

    settings.write = {5000, 1};  // no such register: the meter refuses it
    const RunResult refused = run(settings);
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.Count("write_status"), 1u);
}

// Two lines, each with its own simulator and three meters, one of which is
// switched off: every record comes from its own line's simulator, and the
// dead meter costs neither line its rate.
TEST(BenchRunLines, EachLinePollsItsOwnMetersAndADeadOneCostsNeitherItsRate) {
    const HostSettings example = load_settings_file(QV5810_TEST_CONFIG);
    HostSettings settings = example;
    settings.lines.assign(2, example.lines.front());
    const std::string logs[2] = {temp_path("line0.log"), temp_path("line1.log")};
    for (int l = 0; l < 2; ++l) {
        LineConfig& line = settings.lines[static_cast<std::size_t>(l)];
        line.devices.clear();
        for (int m = 1; m <= 3; ++m) {
            DeviceConfig meter = example.lines.front().devices.front();
            meter.slave = l * 3 + m;  // each slave's values its own, so a record from the wrong line shows
            meter.data_id = static_cast<std::uint32_t>(meter.slave);
            meter.setting["modbus"]["slave"] = meter.slave;
            line.devices.push_back(meter);
        }
        line.line.response_timeout_ms = 150;
        line.line.retries = 1;
        line.sim_args = {"--log=" + logs[l]};
    }
    settings.lines[1].sim_args.push_back("--absent=5");
    // A probe of the dead meter, 150 ms, and even its first failure with its
    // retry and quiet windows, 600 ms, fit a slot with room to spare for a
    // slow machine (an emulated one, loaded): the 5 % allowed is one slot.
    settings.cycles = 20;
    settings.interval_seconds = 1.0;
    const RunResult result = run(settings);
    EXPECT_EQ(result.status, 2);  // meter 5 never completed a cycle

    std::map<std::uint32_t, int> published;
    std::size_t at = 0, first_of_second_line = 0, last_of_first_line = 0;
    for (const Json::Value& event : result.events) {
        ++at;
        if (event["event"] != "publish" || event["kind"] != "poll") continue;
        const auto id = event["device"].asUInt();
        const int slave = event["slave"].asInt();
        ++published[id];
        if (slave > 3 && first_of_second_line == 0) first_of_second_line = at;
        if (slave <= 3) last_of_first_line = at;
        EXPECT_EQ(static_cast<std::uint32_t>(slave), id);
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served_cycles(logs[slave > 3 ? 1 : 0], slave)))
            << "device " << id;
    }
    for (std::uint32_t id : {1u, 2u, 3u, 4u, 6u}) EXPECT_EQ(published[id], 20) << "device " << id;
    EXPECT_LT(first_of_second_line, last_of_first_line) << "the lines were polled one after the other";
    EXPECT_EQ(published.count(5), 0u);
    ASSERT_EQ(result.Count("summary"), 2u);
    for (const Json::Value& event : result.events) {
        if (event["event"] != "summary") continue;
        EXPECT_EQ(event["cycles"].asInt(), 20);
        EXPECT_LE(event["skipped_slots"].asInt(), 20 / 20) << event["port"];  // within 5 % of the rate
    }
    for (const std::string& log : logs) std::remove(log.c_str());
}

// Sixteen lines started and stopped leave no descriptor behind: each line's
// context holds its own, and gives back what it took.
TEST(BenchRunLines, SixteenLinesStartedAndStoppedLeaveNoDescriptorOpen) {
    const auto open_descriptors = [] {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) count += entry.is_symlink() ? 1u : 0u;
        return count;
    };
    const HostSettings example = load_settings_file(QV5810_TEST_CONFIG);
    HostSettings settings = example;
    settings.cycles = 1;
    settings.interval_seconds = 0;
    run(settings);  // what a first run opens for good (the libraries' own) is no leak
    const std::size_t before = open_descriptors();
    settings.lines.assign(16, example.lines.front());
    for (std::size_t l = 0; l < settings.lines.size(); ++l) {
        DeviceConfig& meter = settings.lines[l].devices.front();
        meter.data_id = static_cast<std::uint32_t>(l + 1);
        settings.lines[l].devices.resize(1);
    }
    EXPECT_EQ(run(settings).status, 0);
    EXPECT_EQ(open_descriptors(), before);
}

// An output nobody reads (a stalled journal, a pipe left alone) holds up no
// line: every cycle is polled and stored, and what was not written is said.
TEST(BenchRunOutlets, AStdoutNobodyReadsHoldsUpNoLine) {
    const HostSettings example = load_settings_file(QV5810_TEST_CONFIG);
    HostSettings settings = example;
    settings.plugin = QV5810_TEST_PLUGIN;
    settings.output.json = true;
    settings.lines.assign(2, example.lines.front());
    for (std::size_t l = 0; l < 2; ++l) {
        LineConfig& line = settings.lines[l];
        line.devices.clear();
        for (int m = 1; m <= 3; ++m) {
            DeviceConfig meter = example.lines.front().devices.front();
            meter.slave = m;
            meter.data_id = static_cast<std::uint32_t>(l * 3 + static_cast<std::size_t>(m));
            meter.setting["modbus"]["slave"] = m;
            line.devices.push_back(meter);
        }
    }
    settings.cycles = 40;  // some hundred KB of JSON lines: far past what a pipe holds
    settings.interval_seconds = 0;
    settings.history.file = temp_path("blocked.db");
    // qmxhost blocks it; here the writer left blocked at the end meets the closed pipe.
    std::signal(SIGPIPE, SIG_IGN);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::FILE* unread = fdopen(pipe_ends[1], "w");
    std::ostringstream notes;
    StopSignal stop;
    auto ran = std::async(std::launch::async, [&] {
        return run_bench_host(settings, RunEnvironment{QV5810_TEST_SIM, QV5810_TEST_EMULATOR, "test", unread, &notes, ""}, stop);
    });
    const bool ended = ran.wait_for(std::chrono::milliseconds(kPatienceMs * 3)) == std::future_status::ready;
    if (!ended) stop.Request();  // a stop still ends it: the run is not hung for good
    EXPECT_TRUE(ended) << "a blocked output held the run up";
    EXPECT_EQ(ran.get(), 0);
    EXPECT_NE(notes.str().find("line(s) not written"), std::string::npos) << notes.str();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(settings.history.file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM raw", -1, &count, nullptr);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 6 * 40);
    sqlite3_finalize(count);
    sqlite3_close(db);
    std::fclose(unread);
    close(pipe_ends[0]);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((settings.history.file + suffix).c_str());
}
