// A run's request to stop: raised once, from any thread (the thread that
// takes the process's stop signals, an outlet whose output went away, a
// test), and seen at once by every thread of the run. Threads that sleep
// wake; each line registers a hook that cuts its own wait for an answer
// short, so that a stop reaches every line together, not only the one a
// signal happened to land on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

class StopSignal {
public:
    StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Raises the stop and runs every hook, once; later calls do nothing.
    void Request();
    bool requested() const noexcept { return requested_.load(std::memory_order_acquire); }

    // Returns at `until`, or early with false once the stop is raised.
    bool SleepUntil(std::chrono::steady_clock::time_point until) const;

    // A hook kept while this lives; removing it waits for a hook running now.
    class Hook {
    public:
        Hook() = default;
        Hook(Hook&& other) noexcept : stop_(other.stop_), id_(other.id_) { other.stop_ = nullptr; }
        Hook& operator=(Hook&& other) noexcept;
        ~Hook() { Remove(); }
        Hook(const Hook&) = delete;
        Hook& operator=(const Hook&) = delete;

    private:
        friend class StopSignal;
        Hook(StopSignal* stop, int id) : stop_(stop), id_(id) {}
        void Remove();
        StopSignal* stop_ = nullptr;
        int id_ = 0;
    };
    // `interrupt` runs on the thread that raises the stop (at once when it is
    // raised already); it must be quick and must not raise the stop itself.
    [[nodiscard]] Hook OnStop(std::function<void()> interrupt);

private:
    std::atomic<bool> requested_{false};
    mutable std::mutex stop_mutex_;  // guards hooks_ and next_id_; held while the hooks run
    mutable std::condition_variable raised_;
    std::map<int, std::function<void()>> hooks_;
    int next_id_ = 1;
};
