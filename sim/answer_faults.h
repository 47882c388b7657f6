// The faults of the link between the host and the meters, dealt out over the
// meters' answers in turn. The serial line relay and the TCP gateway deal
// them alike, so that --drop-every 9 loses the same answers on either.
#pragma once

#include <atomic>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <vector>

#include "sim/sim_log.h"

struct LineFaults {
    int drop_every = 0;     // swallow every Nth answer
    int corrupt_every = 0;  // flip a CRC bit in every Nth answer
    int slow_every = 0;     // hold back every Nth answer by slow_ms
    int slow_ms = 0;
    int stray_every = 0;    // another slave's answer at once before every Nth answer, held back by slow_ms
    std::vector<int> slaves;  // the answers of these slaves only, counted among themselves; empty: every slave's
};

// Whether the faults asked for fall on `slave`.
inline bool faults_fall_on(const std::vector<int>& slaves, int slave) {
    return slaves.empty() || std::find(slaves.begin(), slaves.end(), slave) != slaves.end();
}

class AnswerFaults {
public:
    AnswerFaults(LineFaults faults, SimLog& log) : faults_(faults), log_(log) {}

    struct Fate {
        bool drop = false;
        bool corrupt = false;
        bool stray = false;  // a foreign frame goes first
        int hold_ms = 0;
    };
    // What becomes of the next answer, one of `slave`'s; each fault is logged.
    Fate Next(int slave);

    const LineFaults& faults() const { return faults_; }

private:
    LineFaults faults_;
    SimLog& log_;
    int answers_ = 0;
};

// An exception answer of slave 247, whole and with its CRC: a frame of
// another master's exchange, as a shared line carries them.
std::vector<std::uint8_t> stray_frame();

// Sleeps `ms` in slices, so that a held-back answer never outlives the run;
// false when the run ended meanwhile.
bool hold_back(int ms, const std::atomic<bool>& keep_running);
