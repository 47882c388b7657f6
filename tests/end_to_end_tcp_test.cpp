// qmxhost against qv5810-sim over Modbus TCP, and over RTU frames carried
// through TCP by socat: what the host publishes and reports must be what the
// simulated meter served, faults and a lost connection included.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <json/reader.h>

#include "tests/support/child_process.h"
#include "tests/support/meter_oracle.h"
#include "tests/support/sim_meter.h"

namespace {

constexpr Meter::Link kTcp = Meter::Link::tcp;

// A socket bound to a free loopback port; nothing accepts on it unless asked.
class LoopbackPort {
public:
    LoopbackPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~LoopbackPort() { Release(); }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;

    std::string port() const { return std::to_string(port_); }
    void Release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    int port_ = 0;
};

// The thresholds of the example configuration, per alarm key.
std::map<std::string, float> example_thresholds() {
    std::ifstream file(QV5810_TEST_CONFIG);
    Json::Value config;
    std::string errors;
    Json::parseFromStream(Json::CharReaderBuilder(), file, &config, &errors);
    std::map<std::string, float> thresholds;
    const Json::Value& table = config["devices"][0]["thresholds"];
    for (auto it = table.begin(); it != table.end(); ++it) thresholds[it.name()] = (*it)["value"].asFloat();
    return thresholds;
}

// The served cycle whose registers make this record, or 0.
int served_cycle_of(const std::vector<unsigned char>& record, const std::map<int, std::vector<unsigned char>>& served) {
    const std::vector<unsigned char> area(record.begin() + 4, record.begin() + 160);
    for (const auto& [cycle, bytes] : served) {
        if (bytes == area) return cycle;
    }
    return 0;
}

void expect_every_record_served(const HostRun& run, const std::map<int, std::vector<unsigned char>>& served) {
    for (const auto& event : run.Of("publish")) {
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served)) << event["record"].asString();
    }
}

// The test starts programs of the build machine (socat) or lets the host
// start the simulator, which the armhf run cannot: without binfmt_misc an
// ARM program cannot start another program.
class TcpNative : public testing::Test {
protected:
    void SetUp() override {
        if (!std::string(QV5810_TEST_EMULATOR).empty()) GTEST_SKIP() << "starts programs the emulator cannot";
    }
};

}  // namespace

TEST(TcpEndToEnd, EveryPublishedRecordIsACycleTheMeterServed) {
    Meter meter({}, kTcp);
    ASSERT_FALSE(meter.port.empty());
    const HostRun run = run_host(meter, {"--cycles", "5"});
    EXPECT_EQ(run.status, 0);
    const auto published = run.Of("publish");
    ASSERT_EQ(published.size(), 5u);
    expect_every_record_served(run, meter.ServedCycles());
    EXPECT_TRUE(run.Of("error").empty());
    const Json::Value start = run.Of("start").at(0);
    EXPECT_EQ(start["tcp"].asString(), "127.0.0.1:" + meter.port);
    EXPECT_FALSE(start.isMember("port"));
    // No serial line is in sight: no wire figures, only the latency.
    const Json::Value summary = run.Of("summary").at(0);
    EXPECT_FALSE(summary.isMember("wire_limit_ms"));
    EXPECT_FALSE(summary["devices"][0].isMember("wire_ms"));
    EXPECT_GT(summary["devices"][0]["latency_ms"]["max"].asDouble(), 0.0);
}

TEST(TcpEndToEnd, TheOverVoltageEpisodeRaisesTheAlarmsTheServedVoltagesCallFor) {
    Meter meter({"--overvoltage-at", "3", "--overvoltage-cycles", "2"}, kTcp);
    const HostRun run = run_host(meter, {"--cycles", "6"});
    ASSERT_EQ(run.status, 0);
    const auto banks = meter.ServedBanks();
    const auto served = meter.ServedCycles();
    const auto thresholds = example_thresholds();
    // A rule is told at the first cycle and when it changes: its state in
    // every cycle is the last one told, held against the served voltages.
    int cycle = 0;
    int judged = 0;
    int over_voltage_cycles = 0;
    std::map<std::string, bool> told;
    for (const auto& event : run.events) {
        const std::string kind = event["event"].asString();
        if (kind == "publish") {
            cycle = served_cycle_of(unhex(event["record"].asString()), served);
            ASSERT_NE(cycle, 0);
        } else if (kind == "alarm") {
            told[event["key"].asString()] = event["up"].asBool();
            EXPECT_EQ(event["state"].asBool(), event["up"].asBool());  // the first releases' name, kept
            for (const oracle::Rule& rule : oracle::rules()) {
                if (event["key"].asString() != rule.key) continue;
                const std::int32_t value = oracle::scaled(banks.at(cycle), rule.high_register, rule.divisor);
                EXPECT_EQ(event["value_text"].asString(), oracle::value_text(value)) << rule.key;
                EXPECT_EQ(event["compared"].asInt(), value) << rule.key;
            }
        } else if (kind == "cycle") {
            bool over_voltage = false;
            for (const oracle::Rule& rule : oracle::rules()) {
                const std::int32_t value = oracle::scaled(banks.at(cycle), rule.high_register, rule.divisor);
                const float threshold = thresholds.at(rule.key);
                const bool state = rule.high ? static_cast<float>(value) > threshold : static_cast<float>(value) < threshold;
                ASSERT_EQ(told.count(rule.key), 1u) << rule.key << " never told";
                EXPECT_EQ(told[rule.key], state) << rule.key << " in cycle " << cycle;
                over_voltage = over_voltage || (state && rule.high && rule.divisor == 10);
                ++judged;
            }
            over_voltage_cycles += over_voltage;
        }
    }
    EXPECT_EQ(judged, 6 * 27);
    EXPECT_EQ(over_voltage_cycles, 2);  // the episode's length
}

TEST(TcpFaults, WithTwoRetriesADroppedAnswerCostsNoCycle) {
    Meter meter({"--drop-every", "3"}, kTcp);
    // A timeout no answer of a busy machine's outlasts: only the drops time out.
    const HostRun run = run_host(meter, {"--cycles", "5", "--timeout-ms", "1000"});
    EXPECT_EQ(run.status, 0);
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    EXPECT_EQ(summary["completed"].asInt(), 5);
    ASSERT_GT(meter.Faults("drop"), 5);
    // Each answer lost is one timeout and one further attempt.
    EXPECT_EQ(summary["retries"].asInt(), meter.Faults("drop"));
    expect_every_record_served(run, meter.ServedCycles());
}

TEST(TcpFaults, ALateAnswerCostsAtMostTheCycleItFallsIn) {
    // Every 5th answer comes 1.5 s late: after the 1 s timeout (which no
    // other answer outlasts, however busy the machine), within the quiet
    // window of one more timeout that follows it.
    Meter meter({"--slow-every", "5", "--slow-ms", "1500"}, kTcp);
    const HostRun run = run_host(meter, {"--cycles", "5", "--timeout-ms", "1000", "--retries", "0"});
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    ASSERT_GT(meter.Faults("slow"), 0);
    EXPECT_GT(summary["failures"]["timeout"].asInt(), 0);
    EXPECT_LE(summary["failed"].asInt(), meter.Faults("slow"));
    EXPECT_GT(summary["completed"].asInt(), 0);
    expect_every_record_served(run, meter.ServedCycles());
}

TEST(TcpFaults, ExceptionsEndTheCycleAndShortAnswersAreAskedAgain) {
    Meter meter({"--exception-every", "7", "--short-every", "5"}, kTcp);
    // A timeout that no answer of a busy machine's outlasts keeps the counts
    // to these faults (a short answer is waited for until it).
    const HostRun run = run_host(meter, {"--cycles", "12", "--timeout-ms", "1000"});
    std::map<std::string, int> kinds;
    for (const auto& e : run.Of("error")) ++kinds[e["kind"].asString()];
    ASSERT_GT(meter.Faults("exception"), 0);
    ASSERT_GT(meter.Faults("short"), 0);
    // A refusal is not asked again; a short answer is, and never three in a row.
    EXPECT_EQ(kinds["exception"], meter.Faults("exception"));
    const Json::Value summary = run.Of("summary").at(0)["devices"][0];
    EXPECT_EQ(summary["retries"].asInt(), meter.Faults("short"));
    EXPECT_EQ(summary["failed"].asInt(), meter.Faults("exception"));
    expect_every_record_served(run, meter.ServedCycles());
}

TEST(TcpWrites, AreConfirmedFromTheEchoAndReachTheMeter) {
    Meter meter({}, kTcp);
    struct Case {
        const char* write;
        int status;
        std::vector<int> taken;  // what the meter's log says it took
    } cases[] = {
        {"256=4660", 1, {4660}},
        {"300=1,2,3", 1, {1, 2, 3}},
        {"5000=1", 3, {}},  // beyond the meter's registers: refused with an exception
    };
    // Every value the meter's log says it took, in order.
    auto written = [&meter] {
        std::vector<int> values;
        std::FILE* log = std::fopen(meter.log.c_str(), "r");
        char line[8192];
        while (log != nullptr && std::fgets(line, sizeof line, log) != nullptr) {
            const Json::Value event = parse_event(line);
            if (event["event"].asString() != "wrote") continue;
            for (const auto& value : event["values"]) values.push_back(value.asInt());
        }
        if (log != nullptr) std::fclose(log);
        return values;
    };
    for (const auto& c : cases) {
        const std::size_t before = written().size();
        const HostRun run = run_host(meter, {"--cycles", "1", "--write", c.write});
        const auto status = run.Of("write_status");
        ASSERT_EQ(status.size(), 1u) << c.write;
        EXPECT_EQ(status[0]["status"].asInt(), c.status) << c.write;
        EXPECT_EQ(run.status, c.status == 1 ? 0 : 3) << c.write;
        const std::vector<int> now = written();
        EXPECT_EQ(std::vector<int>(now.begin() + static_cast<long>(before), now.end()), c.taken) << c.write;
    }
}

TEST(TcpInput, AnAddressThatCannotBeReachedIsOneLineAndStatusOne) {
    LoopbackPort closed;  // bound, never listening: a connection is refused
    struct Case {
        std::vector<std::string> options;
        const char* said;
    } cases[] = {
        {{"--tcp", "127.0.0.1:" + closed.port()}, "connection refused"},
        {{"--tcp", "nosuch.invalid:502"}, "does not resolve"},
        {{"--tcp", "gateway"}, "is not HOST:PORT"},
        {{"--tcp", "gateway:0"}, "out of range"},
        {{"--tcp", "::1:502"}, "is not HOST:PORT"},
        {{"--tcp", "127.0.0.1:502", "--baud", "19200"}, "--tcp excludes --baud"},
        {{"--tcp", "127.0.0.1:502", "--rs485"}, "--tcp excludes --rs485"},
    };
    for (auto& c : cases) {
        c.options.insert(c.options.end(), {"--cycles", "1", "--timeout-ms", "2000"});
        std::vector<std::string> said;
        EXPECT_EQ(host_status(c.options, &said), 1) << c.options[1];
        std::string errors;
        int error_lines = 0;
        for (const std::string& line : said) {
            if (line.rfind("qmxhost: ", 0) == 0 || line.rfind("--tcp", 0) == 0) {
                ++error_lines;
                errors += line;
            }
        }
        EXPECT_EQ(error_lines, 1) << c.options[1] << ": " << errors;
        EXPECT_NE(errors.find(c.said), std::string::npos) << c.options[1] << ": " << errors;
    }
}

TEST(TcpLink, AServerThatGoesAwayIsBackedOffAndPolledAgainWhenItReturns) {
    auto first = std::make_unique<Meter>(std::vector<std::string>{}, kTcp);
    const std::string port = first->port;
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--tcp",
                       "127.0.0.1:" + port, "--json", "--interval", "0.05", "--timeout-ms", "200", "--retries", "0"});
    std::vector<Json::Value> events;
    // The host runs until interrupted: what it should have said by now, it never will.
    auto read_until = [&](const std::string& kind, int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        int seen = 0;
        while (seen < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            const auto line = host.ReadLine(kPatienceMs);
            if (!line) return false;
            events.push_back(parse_event(*line));
            seen += events.back()["event"].asString() == kind;
        }
        return true;
    };
    ASSERT_TRUE(read_until("publish", 3));
    const std::size_t killed_at = events.size();
    first->process->Kill(SIGKILL);
    first->process->Wait();
    const auto served_before = first->ServedCycles();
    ASSERT_TRUE(read_until("backoff", 1));
    const std::size_t gone_at = events.size();
    first.reset();
    Meter second({"--tcp", port}, kTcp);
    ASSERT_EQ(second.port, port);
    ASSERT_TRUE(read_until("recovered", 1));
    const std::size_t back_at = events.size();
    ASSERT_TRUE(read_until("publish", 2));
    host.Kill(SIGINT);
    for (const std::string& line : host.ReadAll(kPatienceMs)) events.push_back(parse_event(line));
    EXPECT_EQ(host.Wait(), 0);  // the meter completed cycles
    // Failed requests between the two servers, none before the first went.
    int errors_while_gone = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]["event"].asString() != "error") continue;
        EXPECT_GE(i, killed_at);
        errors_while_gone += i < back_at;
    }
    EXPECT_GE(errors_while_gone, 3);
    const auto served_after = second.ServedCycles();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]["event"].asString() != "publish") continue;
        const auto record = unhex(events[i]["record"].asString());
        EXPECT_TRUE(from_one_served_cycle(record, i < gone_at ? served_before : served_after)) << i;
    }
    const Json::Value summary = events.back();
    ASSERT_EQ(summary["event"].asString(), "summary");
    EXPECT_GE(summary["devices"][0]["failed"].asInt(), 3);
    EXPECT_GT(summary["devices"][0]["skipped"].asInt(), 0);
}

TEST_F(TcpNative, TheHostStartsTheSimulatorBehindTcpAndItEndsWithTheHost) {
    const std::string log = temp_path("own_sim.log");
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG, "--tcp",
                       "sim", "--json", "--interval", "0", "--cycles", "3", "--sim-arg=--log=" + log});
    std::vector<Json::Value> events;
    for (const std::string& line : host.ReadAll(kPatienceMs)) events.push_back(parse_event(line));
    EXPECT_EQ(host.Wait(), 0);
    ASSERT_FALSE(events.empty());
    const Json::Value start = events.front();
    EXPECT_EQ(start["tcp"].asString().rfind("127.0.0.1:", 0), 0u) << start["tcp"].asString();
    const pid_t sim = static_cast<pid_t>(start["simulator_pid"].asInt());
    ASSERT_GT(sim, 0);
    EXPECT_TRUE(gone_within(sim, kPatienceMs));
    int published = 0;
    const auto served = served_cycles(log);
    for (const auto& event : events) {
        if (event["event"].asString() != "publish") continue;
        ++published;
        EXPECT_TRUE(from_one_served_cycle(unhex(event["record"].asString()), served));
    }
    EXPECT_EQ(published, 3);
    std::remove(log.c_str());
}

// A gateway that passes raw RTU frames over TCP, bridged back to a
// pseudo-terminal with socat as README.md shows: the meter's terminal is put
// on a TCP port by one socat (the gateway) and taken off it by another.
TEST_F(TcpNative, RtuFramesBridgedThroughTcpBySocatReachTheMeter) {
    Meter meter;
    ASSERT_FALSE(meter.port.empty());
    LoopbackPort free_port;
    const std::string port = free_port.port();
    free_port.Release();
    ChildProcess gateway({"socat", meter.port + ",raw,echo=0", "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr"});
    const std::string link = temp_path("ttyV0");
    ChildProcess bridge({"socat", "pty,link=" + link + ",raw,echo=0", "tcp:127.0.0.1:" + port + ",retry=200,interval=0.05"});
    struct stat info {};
    for (int waited = 0; waited < kPatienceMs && stat(link.c_str(), &info) != 0; waited += 50) usleep(50 * 1000);
    ASSERT_EQ(stat(link.c_str(), &info), 0) << "socat made no terminal at " << link;
    const HostRun run = run_host_on({"--port", link}, {"--cycles", "5"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.Of("publish").size(), 5u);
    expect_every_record_served(run, meter.ServedCycles());
    std::remove(link.c_str());
}
