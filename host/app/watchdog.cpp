#include "host/app/watchdog.h"

#include <algorithm>

Watchdog::Watchdog(std::vector<const Heartbeat*> lines, Clock& clock, std::function<void()> feed)
    : lines_(std::move(lines)), clock_(clock), feed_(std::move(feed)) {}

bool Watchdog::Tick() {
    const Clock::time_point now = clock_.Now();
    if (!std::all_of(lines_.begin(), lines_.end(), [now](const Heartbeat* line) { return line->AliveAt(now); })) {
        return false;
    }
    feed_();
    return true;
}
