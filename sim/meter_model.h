// A three-phase meter whose readings drift slowly from cycle to cycle,
// encoded into its holding registers as the meter's register map lays them
// out (each quantity two registers, high half first).
#pragma once

#include <atomic>
#include <cstdint>

struct OverVoltageEpisode {
    int first_cycle = 0;  // 0: none
    int cycles = 0;
    // Counted up by a signal handler (lock-free, so safe there and across
    // threads): each change begins an episode at the cycle that sees it, so
    // a test can start one once it is watching.
    const std::atomic<int>* requests = nullptr;
};

// A meter's four running totals, as it counts them.
struct EnergyCounters {
    double active_wh = 0, exported_wh = 0, reactive_varh = 0, exported_varh = 0;
};

class MeterModel {
public:
    static constexpr int kFirstRegister = 1792;
    static constexpr int kLastRegister = 1887;

    // Each slave id a meter of its own on a line: slave 1 carries the base
    // load; the others more of it, at a lower power factor, with counters of
    // their own.
    MeterModel(OverVoltageEpisode episode, int slave)
        : episode_(episode), load_(1.0 + 0.25 * ((slave - 1) % 8)), pf_drop_(0.02 * ((slave - 1) % 4)),
          energy_{12345678.0 + 1000000.0 * (slave - 1), 1200.0, 2345678.0, 300.0} {}

    // Counters kept from an earlier run: a meter's totals never go back.
    void ResumeFrom(const EnergyCounters& energy) { energy_ = energy; }
    const EnergyCounters& energy() const { return energy_; }

    // Advances to `cycle` and writes every register from 1792 to 1887 into
    // `registers` (indexed by register address).
    void Fill(int cycle, std::uint16_t* registers);

private:
    OverVoltageEpisode episode_;
    int requests_seen_ = 0;
    double load_;
    double pf_drop_;
    EnergyCounters energy_;
};
