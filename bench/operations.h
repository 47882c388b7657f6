// The operations the benchmarks and the instruction counts measure, each
// set up once and then run many times.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_rig.h"

struct Operation {
    std::string name;
    std::string what;
    // Builds the device and returns the operation to repeat.
    std::function<std::function<void()>(std::unique_ptr<BenchRig>&)> prepare;
};

inline const std::vector<Operation>& operations() {
    static const std::vector<Operation> list = {
        {"cycle_mode1", "full poll cycle (four answers and the end of the cycle), mode 1",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(1, &still_clock);
             return std::function<void()>([&rig] { rig->Cycle(); });
         }},
        {"cycle_mode2", "full poll cycle, mode 2 with all 27 rules enabled",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(2, &still_clock);
             return std::function<void()>([&rig] { rig->Cycle(); });
         }},
        {"snapshot_current", "801 on a current snapshot",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(1, &still_clock);
             rig->Cycle();
             return std::function<void()>([&rig] {
                 static char out[4096];
                 rig->Control(801, out, sizeof out);
             });
         }},
        {"snapshot_stale", "a mode-1 cycle with a new time, then 801 rebuilding the snapshot",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(1, &ticking_clock);
             return std::function<void()>([&rig] {
                 static char out[4096];
                 rig->Cycle();
                 rig->Control(801, out, sizeof out);
             });
         }},
        {"snapshot_handle", "803 on a current snapshot",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(1, &still_clock);
             rig->Cycle();
             return std::function<void()>([&rig] {
                 static const void* handle;
                 rig->Control(803, &handle, sizeof handle);
             });
         }},
        {"write_status", "write-status query",
         [](auto& rig) {
             rig = std::make_unique<BenchRig>(1, &still_clock);
             return std::function<void()>([&rig] {
                 static int status;
                 rig->Control(999, &status, sizeof status);
             });
         }},
    };
    return list;
}
