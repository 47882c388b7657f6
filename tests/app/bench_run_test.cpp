// The whole run wired from its settings, in-process: the simulator it
// starts, the outlets it feeds, and the exit status it ends with.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "host/app/bench_run.h"
#include "host/core/settings_table.h"
#include "tests/support/json_text.h"

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
    const volatile std::sig_atomic_t stop = 0;
    RunResult result;
    result.status = run_bench_host(settings, RunEnvironment{QV5810_TEST_SIM, QV5810_TEST_EMULATOR, "test", out, &std::cerr}, stop);
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
