#include "tests/support/sim_meter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "tests/support/json_text.h"

const int kPatienceMs = std::string(QV5810_TEST_EMULATOR).empty() ? 20000 : 90000;

Json::Value parse_event(const std::string& line) { return parse_json(line).value_or(Json::Value()); }

std::vector<unsigned char> unhex(const std::string& text) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string temp_path(const std::string& name) {
    static int count = 0;
    return testing::TempDir() + "qv5810_test_" + std::to_string(getpid()) + "_" + std::to_string(++count) + "_" + name;
}

Meter::Meter(std::vector<std::string> options, Link meter_link) : link(meter_link), log(temp_path("sim.log")) {
    std::vector<std::string> argv{QV5810_TEST_SIM, "--log", log};
    const bool port_given = std::find(options.begin(), options.end(), "--tcp") != options.end();
    if (link == Link::tcp && !port_given) argv.insert(argv.end(), {"--tcp", "0"});
    argv.insert(argv.end(), options.begin(), options.end());
    process = std::make_unique<ChildProcess>(argv);
    port = process->ReadLine(kPatienceMs).value_or("");
}

Meter::~Meter() { std::remove(log.c_str()); }

std::vector<std::string> Meter::HostLine() const {
    if (link == Link::tcp) return {"--tcp", "127.0.0.1:" + port};
    return {"--port", port};
}

namespace {

std::vector<Json::Value> log_events(const std::string& log) {
    std::vector<Json::Value> events;
    std::FILE* file = std::fopen(log.c_str(), "r");
    char line[8192];
    while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) events.push_back(parse_event(line));
    if (file != nullptr) std::fclose(file);
    return events;
}

}  // namespace

std::map<int, oracle::RegisterBank> served_banks(const std::string& log, int slave) {
    std::map<int, oracle::RegisterBank> banks;
    std::map<int, std::set<int>> blocks;  // the block addresses served, retries counted once
    for (const Json::Value& event : log_events(log)) {
        if (event["event"].asString() != "served" || event["slave"].asInt() != slave) continue;
        const int cycle = event["cycle"].asInt();
        const int address = event["address"].asInt();
        for (Json::ArrayIndex i = 0; i < event["values"].size(); ++i) {
            banks[cycle].Set(address + static_cast<int>(i), static_cast<std::uint16_t>(event["values"][i].asUInt()));
        }
        blocks[cycle].insert(address);
    }
    for (auto it = banks.begin(); it != banks.end();) {
        it = blocks[it->first].size() == 4 ? std::next(it) : banks.erase(it);
    }
    return banks;
}

std::map<int, std::vector<unsigned char>> served_cycles(const std::string& log, int slave) {
    std::map<int, std::vector<unsigned char>> cycles;
    for (const auto& [cycle, bank] : served_banks(log, slave)) cycles[cycle] = oracle::expected_register_area(bank);
    return cycles;
}

int Meter::Faults(const std::string& kind) const {
    int count = 0;
    for (const Json::Value& event : log_events(log)) count += event["fault"].asString() == kind;
    return count;
}

std::vector<Json::Value> HostRun::Of(const std::string& kind) const {
    std::vector<Json::Value> found;
    for (const auto& e : events) {
        if (e["event"].asString() == kind) found.push_back(e);
    }
    return found;
}

HostRun run_host(const Meter& meter, std::vector<std::string> options, const std::string& config) {
    return run_host_on(meter.HostLine(), std::move(options), config);
}

HostRun run_host_on(const std::vector<std::string>& line, std::vector<std::string> options,
                    const std::string& config, const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv{QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", config};
    argv.insert(argv.end(), line.begin(), line.end());
    argv.insert(argv.end(), {"--json", "--interval", "0"});
    argv.insert(argv.end(), options.begin(), options.end());
    ChildProcess host(argv, ChildProcess::Output::only, wrapper);
    HostRun run;
    for (const std::string& text : host.ReadAll(kPatienceMs)) {
        // Standard output carries the host's JSON events and nothing else.
        const auto event = parse_json(text);
        EXPECT_TRUE(event && event->isObject()) << text;
        run.events.push_back(event.value_or(Json::Value()));
    }
    run.status = host.Wait();
    return run;
}

bool from_one_served_cycle(const std::vector<unsigned char>& record,
                           const std::map<int, std::vector<unsigned char>>& served) {
    const std::vector<unsigned char> area(record.begin() + 4, record.begin() + 160);
    for (const auto& [cycle, bytes] : served) {
        if (bytes == area) return true;
    }
    return false;
}

int host_status(std::vector<std::string> options, std::vector<std::string>* said) {
    std::vector<std::string> argv{QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG};
    argv.insert(argv.end(), options.begin(), options.end());
    ChildProcess host(argv, said != nullptr ? ChildProcess::Output::with_errors : ChildProcess::Output::only);
    const std::vector<std::string> lines = host.ReadAll(kPatienceMs);
    if (said != nullptr) *said = lines;
    return host.Wait();
}

namespace {

bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    // A zombie waiting for its new parent to reap it has ended too.
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return true;
    char text[512] = {};
    const bool read = std::fgets(text, sizeof text, stat) != nullptr;
    std::fclose(stat);
    const char* state = read ? std::strrchr(text, ')') : nullptr;
    return state != nullptr && state[2] == 'Z';
}

}  // namespace

bool gone_within(pid_t pid, int patience_ms) {
    for (int waited = 0; waited < patience_ms; waited += 50) {
        if (process_gone(pid)) return true;
        usleep(50 * 1000);
    }
    return process_gone(pid);
}
