#include "host/report/outlets.h"

#include <pthread.h>

#include <optional>

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

// One mailbox and the thread that empties it into its outlets.
class Outlets::Thread {
public:
    Thread(const std::string& name, std::vector<Outlet*> outlets, Mailbox mailbox)
        : outlets_(std::move(outlets)), mailbox_(mailbox), thread_([this] { Run(); }) {
        // Named, so that top -H and a debugger tell the outlets apart.
        pthread_setname_np(thread_.native_handle(), name.substr(0, 15).c_str());
    }

    ~Thread() { Close(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void Post(const Event& event) {
        {
            const std::lock_guard<std::mutex> lock(mailbox_mutex_);
            if (closed_) return;
            if (events_.size() >= mailbox_.capacity) {
                if (mailbox_.when_full == WhenFull::refuse_newest) {
                    Count(event);
                    return;
                }
                Count(events_.front());
                events_.pop_front();
            }
            events_.push_back(event);
        }
        posted_.notify_one();
    }

    void Close() {
        {
            const std::lock_guard<std::mutex> lock(mailbox_mutex_);
            closed_ = true;
        }
        posted_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    // With mailbox_mutex_ held.
    void Count(const Event& event) {
        ++gap_.events;
        if (const auto* cycle = std::get_if<Cycle_>(&event); cycle != nullptr && !cycle->report->stored.empty()) {
            ++gap_.records;
        }
    }

    // One event at a time, so that what waits is all in the mailbox and
    // its bound is the outlet's whole backlog.
    void Run() {
        for (;;) {
            std::optional<Event> event;
            Gap gap;
            {
                std::unique_lock<std::mutex> lock(mailbox_mutex_);
                posted_.wait(lock, [this] { return closed_ || !events_.empty() || gap_.events > 0; });
                if (events_.empty() && gap_.events == 0) return;  // closed, and everything told
                std::swap(gap, gap_);
                if (!events_.empty()) {
                    event = std::move(events_.front());
                    events_.pop_front();
                }
            }
            // What was let go came before what is left.
            if (gap.events > 0) {
                for (Outlet* outlet : outlets_) outlet->Missed(gap);
            }
            if (event) Deliver(*event);
        }
    }

    void Deliver(const Event& event) {
        for (Outlet* o : outlets_) {
            std::visit(Overloaded{
                           [o](const Started_& e) { o->Started(*e.facts); },
                           [o](const Cycle_& e) { o->Cycle(e.report); },
                           [o](const Wrote_& e) { o->Wrote(*e.report); },
                           [o](const BackingOff_& e) { o->BackingOff(e.report); },
                           [o](const Recovered_& e) { o->Recovered(*e.meter, e.cycle); },
                           [o](const SlotsSkipped_& e) { o->SlotsSkipped(*e.line, e.cycle, e.skipped); },
                           [o](const CycleOver_& e) { o->CycleOver(*e.line, e.cycle); },
                           [o](const Problem_& e) {
                               if (e.fault == FaultTold::no) return o->Problem(*e.text);
                               o->Fault(*e.text, e.fault == FaultTold::over);
                           },
                           [o](const LineEnded_& e) { o->LineEnded(*e.summary); },
                           [o](const Finished_&) { o->Finished(); },
                       },
                       event);
        }
    }

    const std::vector<Outlet*> outlets_;
    const Mailbox mailbox_;
    std::mutex mailbox_mutex_;  // guards events_, gap_ and closed_
    std::condition_variable posted_;
    std::deque<Event> events_;
    Gap gap_;
    bool closed_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

Outlets::Outlets() = default;
Outlets::~Outlets() { Close(); }

void Outlets::Add(const std::string& name, std::vector<Outlet*> outlets, Mailbox mailbox) {
    auto thread = std::make_unique<Thread>(name, std::move(outlets), mailbox);
    const std::unique_lock<std::shared_mutex> lock(threads_mutex_);
    threads_.push_back(std::move(thread));
}

void Outlets::Post(const Event& event) {
    const std::shared_lock<std::shared_mutex> lock(threads_mutex_);
    for (const auto& thread : threads_) thread->Post(event);
}

// The last added first: what the others say as they finish (a history that
// could not store everything, the broker's counts) still reaches the
// first, the run's own output.
void Outlets::Close() {
    // Not under the lock: a thread that ends may still post (a last notice).
    std::vector<Thread*> threads;
    {
        const std::shared_lock<std::shared_mutex> lock(threads_mutex_);
        for (const auto& thread : threads_) threads.push_back(thread.get());
    }
    for (auto thread = threads.rbegin(); thread != threads.rend(); ++thread) (*thread)->Close();
}

void Outlets::Started(const Json::Value& facts) { Post(Started_{std::make_shared<const Json::Value>(facts)}); }
void Outlets::Cycle(const std::shared_ptr<const CycleReport>& report) { Post(Cycle_{report}); }
void Outlets::Wrote(const WriteReport& report) { Post(Wrote_{std::make_shared<const WriteReport>(report)}); }
void Outlets::BackingOff(const BackoffReport& report) { Post(BackingOff_{report}); }
void Outlets::Recovered(const DeviceConfig& meter, int cycle) { Post(Recovered_{&meter, cycle}); }
void Outlets::SlotsSkipped(const LineInfo& line, int cycle, int skipped) { Post(SlotsSkipped_{&line, cycle, skipped}); }
void Outlets::CycleOver(const LineInfo& line, int cycle) { Post(CycleOver_{&line, cycle}); }
void Outlets::Problem(const std::string& text) {
    Post(Problem_{std::make_shared<const std::string>(text), FaultTold::no});
}
void Outlets::Fault(const std::string& text, bool over) {
    Post(Problem_{std::make_shared<const std::string>(text), over ? FaultTold::over : FaultTold::began});
}
void Outlets::LineEnded(const RunSummary& summary) { Post(LineEnded_{std::make_shared<const RunSummary>(summary)}); }
void Outlets::Finished() { Post(Finished_{}); }
