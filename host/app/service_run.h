// qmxhost's run as a service. SIGHUP reads the configuration again as at
// start and, when it holds, the run stops as on SIGTERM (the history
// stored, nothing lost) and starts again with it in the same process; a
// file with an error is refused in one line, and the run goes on. Under
// systemd (NOTIFY_SOCKET) it says READY=1 once polling begins, a STATUS=
// line, RELOADING=1 and STOPPING=1; with WATCHDOG_USEC it feeds the
// watchdog at half the interval while every line's thread goes round.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/app/bench_run.h"
#include "host/common/stop_signal.h"
#include "host/config/settings.h"

class ServiceRun : public RunWatcher {
public:
    // `read` reads the settings as at start (the file, then the command
    // line on top) and throws what is wrong with them; `stop` is the
    // process's, raised by SIGINT and SIGTERM.
    ServiceRun(std::function<HostSettings()> read, std::string config, StopSignal& stop, std::ostream& notes);
    ~ServiceRun() override;
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Runs with `settings`, and again with each reload's, until stopped or
    // its cycles are done: the last run's exit status. A reload's run that
    // cannot start is said, and the settings before it run again. Throws
    // what keeps a run from starting otherwise.
    int Run(HostSettings settings, RunEnvironment environment);
    // SIGHUP: on the signals' thread.
    void Reload();

    void Preparing(const std::string& what) override;
    void Polling(const std::vector<const Heartbeat*>& lines, int meters, Clock& clock) override;
    void PollingEnded() override;

private:
    void Notify(const std::string& state) const;
    void Say(const std::string& text);

    std::function<HostSettings()> read_;
    std::string config_;
    StopSignal& stop_;
    std::ostream& notes_;
    const bool notify_;  // a service manager listens
    std::mutex run_mutex_;  // guards run_stop_, next_ and ended_
    StopSignal* run_stop_ = nullptr;  // the run going on; none between runs
    std::optional<HostSettings> next_;  // a reload's, until the run going on has stopped
    bool ended_ = false;  // the last run has ended: nothing more to reload
    StopSignal::Hook stop_hook_;
    bool polled_ = false;  // the run going on began polling; the main thread's alone
    // While polling: the thread that tells systemd, and its stop.
    std::optional<StopSignal> telling_stop_;
    std::thread telling_;
};
