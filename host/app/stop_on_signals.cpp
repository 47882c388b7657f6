#include "host/app/stop_on_signals.h"

#include <pthread.h>

#include <csignal>

namespace {

// Sent by the destructor to end the taking thread; never a stop.
constexpr int kDone = SIGUSR2;

}  // namespace

StopOnSignals::StopOnSignals(StopSignal& stop, std::function<void()> hang_up) : hang_up_(std::move(hang_up)) {
    sigemptyset(&signals_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, kDone}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    // Past a file-size limit (a unit's LimitFSIZE=) the history's write fails
    // as on a full disk, instead of the signal ending the run.
    std::signal(SIGXFSZ, SIG_IGN);
    taker_ = std::thread([this, &stop] {
        for (;;) {
            int taken = 0;
            if (sigwait(&signals_, &taken) != 0 || taken == kDone) return;
            if (taken == SIGHUP && hang_up_) {
                hang_up_();
            } else {
                stop.Request();
            }
        }
    });
}

StopOnSignals::~StopOnSignals() {
    pthread_kill(taker_.native_handle(), kDone);
    taker_.join();
}
