// The simulated meter and the bench host as processes of their own, for the
// end-to-end tests: what the meter served, from its log, and what the host
// reported, from its JSON events.
#pragma once

#include <sys/types.h>

#include <json/value.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/meter_oracle.h"

// Under emulation everything runs several times slower.
extern const int kPatienceMs;

Json::Value parse_event(const std::string& line);
std::vector<unsigned char> unhex(const std::string& text);
// A path of its own for every call, so that two simulators or hosts in one
// test never share a file.
std::string temp_path(const std::string& name);

// What a simulator's log says it served to `slave`: the registers of each
// complete cycle, and the same as bytes 4 to 159 of the record each must make.
std::map<int, oracle::RegisterBank> served_banks(const std::string& log, int slave = 1);
std::map<int, std::vector<unsigned char>> served_cycles(const std::string& log, int slave = 1);

// A simulated meter, on a fresh pseudo-terminal or behind Modbus TCP,
// logging what it serves.
struct Meter {
    enum class Link { pseudo_terminal, tcp };

    // Over TCP on a free port, unless `options` name one with --tcp.
    explicit Meter(std::vector<std::string> options = {}, Link link = Link::pseudo_terminal);
    ~Meter();

    // The host's options that reach this meter.
    std::vector<std::string> HostLine() const;
    std::map<int, oracle::RegisterBank> ServedBanks(int slave = 1) const { return served_banks(log, slave); }
    std::map<int, std::vector<unsigned char>> ServedCycles(int slave = 1) const { return served_cycles(log, slave); }
    // How many faults of `kind` (drop, slow, short, exception...) the meter made.
    int Faults(const std::string& kind) const;

    Link link;
    std::string log;
    std::unique_ptr<ChildProcess> process;
    std::string port;  // the terminal's path, or the TCP port
};

struct HostRun {
    std::vector<Json::Value> events;
    int status = -1;

    std::vector<Json::Value> Of(const std::string& kind) const;
};

// qmxhost --json on `meter` (or on the line `line` names) with `options`;
// standard output must carry JSON only.
HostRun run_host(const Meter& meter, std::vector<std::string> options, const std::string& config = QV5810_TEST_CONFIG);
HostRun run_host_on(const std::vector<std::string>& line, std::vector<std::string> options,
                    const std::string& config = QV5810_TEST_CONFIG, const std::vector<std::string>& wrapper = {});

// The record's bytes 4 to 159 came from one complete cycle of the meter.
bool from_one_served_cycle(const std::vector<unsigned char>& record,
                           const std::map<int, std::vector<unsigned char>>& served);

// The status of qmxhost run with `options` after the plug-in and
// configuration; with `said`, what it wrote on both of its outputs.
int host_status(std::vector<std::string> options, std::vector<std::string>* said = nullptr);

// The process has ended (a zombie waiting to be reaped counts as ended).
bool gone_within(pid_t pid, int patience_ms);
