// One bench host run, wired from its settings: the simulated meter when no
// line is given, the history, the outlets, the live page, the broker, the
// plug-in and its devices on the line, and the poll loop. main() calls it;
// so do the tests, in-process.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/common/heartbeat.h"
#include "host/common/stop_signal.h"
#include "host/config/settings.h"

// Who hears when a run's polling begins and ends: the service manager.
class RunWatcher {
public:
    virtual ~RunWatcher() = default;
    // Before polling, something that may take minutes (the history read
    // through, or brought up to this version): said, so that it is waited for.
    virtual void Preparing(const std::string& what) = 0;
    // Every line open, the page and the servers listening: polling begins,
    // each line's thread beating its heartbeat on `clock`'s time.
    virtual void Polling(const std::vector<const Heartbeat*>& lines, int meters, Clock& clock) = 0;
    // Polling has ended, however; the run winds down.
    virtual void PollingEnded() = 0;
};

struct RunEnvironment {
    std::string simulator;  // the simulated meter's program
    std::string emulator;   // runs the simulator when it is built for another machine; empty: none
    std::string version;
    std::FILE* out = nullptr;         // the events: for people, or JSON lines; written with write(2) on its descriptor
    std::ostream* notes = nullptr;    // the page's address, warnings, and what became of the output
    std::string config;               // the configuration file read; empty: none
    std::string machine_id_file = "/etc/machine-id";  // whose site id a made-up one is, and who holds it centrally
    RunWatcher* watcher = nullptr;    // none: nobody to tell
};

// Runs until the cycles are done or `stop` is raised, and returns the exit
// status (exit_status.h). Throws what keeps the run from starting: a port,
// address, plug-in, history or broker setting that cannot be used. An
// output whose reader went raises the stop.
int run_bench_host(HostSettings settings, const RunEnvironment& environment, StopSignal& stop);
