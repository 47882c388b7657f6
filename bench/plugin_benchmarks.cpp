// Wall-clock cost of the plug-in's hot paths (Google Benchmark).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

#include "bench/operations.h"

int main(int argc, char** argv) {
    // The device's diagnostic lines go where a controller without a console
    // sends them; the results go to standard error.
    std::freopen("/dev/null", "w", stdout);
    for (const Operation& op : operations()) {
        benchmark::RegisterBenchmark(op.name.c_str(), [&op](benchmark::State& state) {
            std::unique_ptr<BenchRig> rig;
            const auto run = op.prepare(rig);
            for (auto _ : state) run();
        });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
