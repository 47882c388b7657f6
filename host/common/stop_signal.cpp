#include "host/common/stop_signal.h"

void StopSignal::Request() {
    const std::lock_guard<std::mutex> lock(stop_mutex_);
    if (requested_.exchange(true, std::memory_order_acq_rel)) return;
    raised_.notify_all();
    for (auto& [id, interrupt] : hooks_) interrupt();
}

bool StopSignal::SleepUntil(std::chrono::steady_clock::time_point until) const {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !raised_.wait_until(lock, until, [this] { return requested(); });
}

StopSignal::Hook StopSignal::OnStop(std::function<void()> interrupt) {
    const std::lock_guard<std::mutex> lock(stop_mutex_);
    if (requested()) interrupt();
    const int id = next_id_++;
    hooks_.emplace(id, std::move(interrupt));
    return Hook(this, id);
}

StopSignal::Hook& StopSignal::Hook::operator=(Hook&& other) noexcept {
    if (this != &other) {
        Remove();
        stop_ = other.stop_;
        id_ = other.id_;
        other.stop_ = nullptr;
    }
    return *this;
}

void StopSignal::Hook::Remove() {
    if (stop_ == nullptr) return;
    const std::lock_guard<std::mutex> lock(stop_->stop_mutex_);
    stop_->hooks_.erase(id_);
    stop_ = nullptr;
}
