// The service watchdog's feeding: once a period, systemd hears that the run
// is alive, but only while every line's thread keeps the time it promised
// for its next sign of life (host/common/heartbeat.h). A line whose thread
// hangs stops the feeding, and systemd ends the service and starts it
// again; a meter that does not answer is no hang: its line goes on round.
#pragma once

#include <functional>
#include <vector>

#include "host/common/clock.h"
#include "host/common/heartbeat.h"

class Watchdog {
public:
    // The heartbeats must outlive the watchdog; `feed` runs on the thread that ticks.
    Watchdog(std::vector<const Heartbeat*> lines, Clock& clock, std::function<void()> feed);

    // Feeds when every line is alive now; true when it fed. Called once a
    // period by the service's thread.
    bool Tick();

private:
    std::vector<const Heartbeat*> lines_;
    Clock& clock_;
    std::function<void()> feed_;
};
