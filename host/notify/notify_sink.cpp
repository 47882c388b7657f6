#include "host/notify/notify_sink.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/common/clock.h"
#include "host/common/host_address.h"
#include "host/http/web_post.h"

class NotifySink::Hook {
public:
    Hook(const NotifyTarget& target, const NotifySettings& settings, Notices& notices, std::chrono::milliseconds first,
         std::chrono::milliseconds longest)
        : target_(target),
          capacity_(settings.queue),
          deadline_(std::chrono::milliseconds(static_cast<long long>(settings.timeout_seconds * 1000))),
          first_pause_(first),
          longest_pause_(longest),
          notices_(notices),
          poster_(target.url, settings.ca_file, deadline_) {
        thread_ = std::thread([this] { Run(); });
    }

    ~Hook() { Stop(); }

    unsigned events() const { return target_.events; }
    const NotifyTarget& target() const { return target_; }

    void Add(std::shared_ptr<const std::string> body) {
        {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            if (queue_.size() >= capacity_) {
                queue_.pop_front();
                ++counts_.dropped;
                if (!said_dropping_) {
                    said_dropping_ = true;
                    Say("notify: " + target_.url.Shown() + " holds " + std::to_string(capacity_) +
                        " event(s) already; the oldest are let go (notify_queue)");
                }
            }
            queue_.push_back(std::move(body));
        }
        changed_.notify_all();
    }

    // Waits up to the post deadline for what is held to go, then stops.
    void Drain() {
        std::unique_lock<std::mutex> lock(queue_mutex_);
        changed_.wait_for(lock, deadline_, [this] { return queue_.empty() && !posting_; });
    }

    void Stop() {
        {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        changed_.notify_all();
        poster_.Cancel();
        if (thread_.joinable()) thread_.join();
        std::size_t held = 0;
        {
            const std::lock_guard<std::mutex> lock(queue_mutex_);
            held = queue_.size();
        }
        if (held > 0) Say("notify: " + std::to_string(held) + " event(s) not delivered to " + target_.url.Shown() + " at the stop");
    }

    HookCounts Counts() const {
        const std::lock_guard<std::mutex> lock(queue_mutex_);
        HookCounts counts = counts_;
        counts.url = target_.url.Shown();
        counts.held = queue_.size();
        return counts;
    }

private:
    void Say(const std::string& text) { notices_.Say(text); }

    void Run() {
        std::chrono::milliseconds pause = first_pause_;
        bool away = false;
        std::unique_lock<std::mutex> lock(queue_mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            // The oldest goes first and stays queued until it is delivered.
            const std::shared_ptr<const std::string> body = queue_.front();
            posting_ = true;
            lock.unlock();
            const PostAnswer answer = poster_.Post(target_.content_type, target_.headers, *body);
            lock.lock();
            posting_ = false;
            if (answer.Delivered() || answer.Refused()) {
                if (!queue_.empty() && queue_.front() == body) queue_.pop_front();
                ++(answer.Delivered() ? counts_.delivered : counts_.refused);
                changed_.notify_all();
                if (answer.Refused()) {
                    lock.unlock();
                    Say("notify: " + target_.url.Shown() + " refused an event (" + answer.Text() +
                        "); it is let go, sending it again would not help");
                    lock.lock();
                }
                if (away && answer.Delivered()) {
                    away = false;
                    said_dropping_ = false;
                    const std::string held = std::to_string(queue_.size());
                    lock.unlock();
                    Say("notify: " + target_.url.Shown() + " answering again; " + held + " event(s) still to send");
                    lock.lock();
                }
                pause = first_pause_;
                continue;
            }
            ++counts_.failed_posts;
            if (stopping_) return;
            if (!away) {
                away = true;
                const std::string held = std::to_string(queue_.size());
                lock.unlock();
                Say("notify: " + target_.url.Shown() + " not reached (" + answer.Text() + "); " + held +
                    " event(s) held (up to " + std::to_string(capacity_) + ") and tried again with growing pauses");
                lock.lock();
            }
            changed_.wait_for(lock, pause, [this] { return stopping_; });
            pause = std::min(pause * 2, longest_pause_);
        }
    }

    const NotifyTarget target_;
    const std::size_t capacity_;
    const std::chrono::milliseconds deadline_, first_pause_, longest_pause_;
    Notices& notices_;
    WebPoster poster_;
    mutable std::mutex queue_mutex_;  // guards queue_, counts_, posting_, stopping_, said_dropping_
    std::condition_variable changed_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    HookCounts counts_;
    bool posting_ = false;
    bool stopping_ = false;
    bool said_dropping_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

namespace {

// Why a failed cycle failed, as the journal says it.
std::string failure_of(const CycleReport& report) {
    for (const RequestTrouble& trouble : report.troubled) {
        if (!trouble.answered) return trouble.request + " " + trouble.kind + " (" + trouble.message + ")";
    }
    return "the device published no record";
}

}  // namespace

NotifySink::NotifySink(const NotifySettings& settings, Notices& notices, std::chrono::milliseconds first_pause,
                       std::chrono::milliseconds longest_pause)
    : id_prefix_(std::to_string(utc_now_ms()) + "-"), host_(host_name()) {
    for (const NotifyTarget& target : settings.targets) {
        hooks_.push_back(std::make_unique<Hook>(target, settings, notices, first_pause, longest_pause));
    }
}

NotifySink::~NotifySink() {
    for (auto& hook : hooks_) hook->Stop();
}

void NotifySink::Tell(const Notification& notification) {
    Notification told = notification;
    told.event["id"] = id_prefix_ + std::to_string(++sequence_);
    told.event["host"] = host_;
    // Rendered once per hook that wants it, as its own body.
    for (auto& hook : hooks_) {
        if ((hook->events() & notification.kind) == 0) continue;
        hook->Add(std::make_shared<const std::string>(notification_body(hook->target(), told)));
    }
}

void NotifySink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    const DeviceConfig& meter = *report->meter;
    bool& failing = failing_[meter.data_id];
    if (report->kind == CycleKind::failed) {
        if (!failing) Tell(meter_notification(meter, true, failure_of(*report), report->cycle, report->utc_ms));
        failing = true;
        return;
    }
    if (report->kind != CycleKind::poll) return;
    if (failing) Tell(meter_notification(meter, false, "", report->cycle, report->utc_ms));
    failing = false;
    for (const AlarmChange& change : report->alarm_changes) {
        Tell(alarm_notification(meter, change.outcome, change.up, report->utc_ms));
    }
}

void NotifySink::Fault(const std::string& text, bool over) { Tell(fault_notification(text, over, utc_now_ms())); }

void NotifySink::Finished() {
    for (auto& hook : hooks_) hook->Drain();
    for (auto& hook : hooks_) hook->Stop();
}

std::vector<HookCounts> NotifySink::Counts() const {
    std::vector<HookCounts> counts;
    for (const auto& hook : hooks_) counts.push_back(hook->Counts());
    return counts;
}
