#include "host/app/service_run.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "host/app/watchdog.h"

namespace {

// Without a watchdog, the status line is told as often.
constexpr auto kStatusPeriod = std::chrono::seconds(10);

std::string status_line(const std::vector<const Heartbeat*>& lines, int meters) {
    int answering = 0;
    for (const Heartbeat* line : lines) answering += line->answering();
    return "STATUS=" + std::to_string(answering) + " of " + std::to_string(meters) + " meter(s) answering on " +
           std::to_string(lines.size()) + " line(s)";
}

// systemd 253 and later want the reload's beginning on CLOCK_MONOTONIC beside RELOADING=1.
std::string monotonic_usec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::to_string(static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

}  // namespace

ServiceRun::ServiceRun(std::function<HostSettings()> read, std::string config, StopSignal& stop, std::ostream& notes)
    : read_(std::move(read)), config_(std::move(config)), stop_(stop), notes_(notes),
      notify_(std::getenv("NOTIFY_SOCKET") != nullptr) {
    stop_hook_ = stop_.OnStop([this] {
        const std::lock_guard<std::mutex> lock(run_mutex_);
        if (run_stop_ != nullptr) run_stop_->Request();
    });
}

ServiceRun::~ServiceRun() { stop_hook_ = StopSignal::Hook(); }

void ServiceRun::Notify(const std::string& state) const {
    if (notify_) sd_notify(0, state.c_str());
}

int ServiceRun::Run(HostSettings settings, RunEnvironment environment) {
    environment.watcher = this;
    std::optional<HostSettings> before;  // what a reload replaced, until its run polls
    for (;;) {
        StopSignal run_stop;
        {
            const std::lock_guard<std::mutex> lock(run_mutex_);
            run_stop_ = &run_stop;
            // A stop or a reload that came between runs.
            if (stop_.requested() || next_) run_stop.Request();
        }
        polled_ = false;
        int status = 0;
        try {
            status = run_bench_host(settings, environment, run_stop);
        } catch (const std::exception& e) {
            const bool again = before && !polled_ && !stop_.requested();
            {
                const std::lock_guard<std::mutex> lock(run_mutex_);
                run_stop_ = nullptr;
                ended_ = !again;
            }
            if (!again) throw;
            Say(std::string("qmxhost: the reloaded configuration cannot run: ") + e.what() +
                "; starting again with the settings before it");
            settings = std::move(*before);
            before.reset();
            continue;
        }
        const std::lock_guard<std::mutex> lock(run_mutex_);
        run_stop_ = nullptr;
        if (stop_.requested() || !next_) {
            ended_ = true;
            return status;
        }
        if (polled_) before = std::move(settings);
        settings = std::move(*next_);
        next_.reset();
    }
}

// A note in one write: the notes share standard error with the run's own,
// and under the journal with standard output, whose lines would otherwise
// come between its parts.
void ServiceRun::Say(const std::string& text) {
    notes_ << text + "\n" << std::flush;
}

void ServiceRun::Reload() {
    HostSettings settings;
    try {
        settings = read_();
    } catch (const std::exception& e) {
        Say(std::string("qmxhost: reload refused: ") + e.what() + "; the run goes on with the settings it has");
        return;
    }
    const std::lock_guard<std::mutex> lock(run_mutex_);
    if (stop_.requested() || ended_) return;
    next_ = std::move(settings);
    Notify("RELOADING=1\nMONOTONIC_USEC=" + monotonic_usec());
    Say("qmxhost: reloading " + config_ + ": the run stops and starts again with it");
    if (run_stop_ != nullptr) run_stop_->Request();
}

// A history read through at start, or brought up to this version, can take
// longer than the unit's start timeout on a box's SD card: the service
// manager is told to wait an hour more, and why.
void ServiceRun::Preparing(const std::string& what) { Notify("EXTEND_TIMEOUT_USEC=3600000000\nSTATUS=" + what); }

void ServiceRun::Polling(const std::vector<const Heartbeat*>& lines, int meters, Clock& clock) {
    polled_ = true;
    if (!notify_) return;
    std::uint64_t watchdog_usec = 0;
    const bool watched = sd_watchdog_enabled(0, &watchdog_usec) > 0 && watchdog_usec > 0;
    const Clock::duration period = watched ? std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::microseconds(watchdog_usec / 2))
                                           : std::chrono::duration_cast<Clock::duration>(kStatusPeriod);
    telling_stop_.emplace();
    // Off the polling threads: the socket is the service manager's to hold up.
    telling_ = std::thread([this, lines, meters, &clock, watched, period] {
        // None has had its turn yet.
        std::string status = "STATUS=polling " + std::to_string(meters) + " meter(s) on " + std::to_string(lines.size()) +
                             " line(s)";
        Notify("READY=1\n" + status);
        Watchdog watchdog(lines, clock, [this] { Notify("WATCHDOG=1"); });
        for (Clock::time_point next = clock.Now() + period; clock.SleepUntil(next, *telling_stop_); next += period) {
            if (watched) watchdog.Tick();
            std::string now = status_line(lines, meters);
            if (now != status) Notify(now);
            status = std::move(now);
        }
    });
}

void ServiceRun::PollingEnded() {
    if (!telling_.joinable()) return;
    telling_stop_->Request();
    telling_.join();
    telling_stop_.reset();
    const std::lock_guard<std::mutex> lock(run_mutex_);
    if (stop_.requested() || !next_) Notify("STOPPING=1");
}
