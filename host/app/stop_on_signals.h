// The process's stop signals turned into a run's stop. SIGINT, SIGTERM,
// SIGHUP and SIGPIPE are blocked in every thread and taken by one thread of
// their own, which raises the stop with nothing of a signal handler's
// limits: every line is cut at once, through its own hook. SIGHUP does
// what it is given instead, when given: a reload. Made at the top of main,
// before any other thread, whose mask every later thread inherits.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

#include "host/common/stop_signal.h"

class StopOnSignals {
public:
    // `hang_up` runs on the signals' thread.
    explicit StopOnSignals(StopSignal& stop, std::function<void()> hang_up = {});
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    sigset_t signals_{};
    std::function<void()> hang_up_;
    std::thread taker_;
};
