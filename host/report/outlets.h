// Every outlet of a run behind one, each on its own time: an outlet (or a
// few that share a thread) has a thread of its own and a bounded mailbox,
// and the poll threads only post to the mailboxes, never waiting for a
// disk, a pipe, a socket or a broker. What a full mailbox does is the
// outlet's choice: let the newest event go (an output that cannot keep up
// says how much it missed), or the oldest (a state that only needs the
// latest). Either way the outlet is told what it missed, in order.
//
// Notices said by an outlet on its own thread (a broker away, a busy
// history) reach every outlet as a problem, through the same mailboxes.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "host/report/report.h"

enum class WhenFull {
    refuse_newest,  // the event that finds the mailbox full is let go
    drop_oldest,    // the oldest waiting event is let go: the latest are kept
};

struct Mailbox {
    std::size_t capacity = 1024;
    WhenFull when_full = WhenFull::drop_oldest;
};

class Outlets : public Outlet, public Notices {
public:
    Outlets();
    ~Outlets() override;  // closes
    Outlets(const Outlets&) = delete;
    Outlets& operator=(const Outlets&) = delete;

    // `outlets` are told each event from now on, in this order, on one
    // thread named `name`, behind one mailbox. They must outlive Close().
    void Add(const std::string& name, std::vector<Outlet*> outlets, Mailbox mailbox);

    // Any thread; each posts the event to every mailbox and returns.
    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    // The line must outlive Close().
    void SlotsSkipped(const LineInfo& line, int cycle, int skipped) override;
    void CycleOver(const LineInfo& line, int cycle) override;
    void Problem(const std::string& text) override;
    void Fault(const std::string& text, bool over) override;
    void LineEnded(const RunSummary& summary) override;
    void Finished() override;
    void Say(const std::string& text) override { Problem(text); }
    void SayFault(const std::string& text, bool over) override { Fault(text, over); }

    // Every outlet is told what is still in its mailbox, then its thread
    // ends; the last added first, so that the first hears what the others
    // say as they finish. After Finished; idempotent.
    void Close();

private:
    struct Started_ { std::shared_ptr<const Json::Value> facts; };
    struct Cycle_ { std::shared_ptr<const CycleReport> report; };
    struct Wrote_ { std::shared_ptr<const WriteReport> report; };
    struct BackingOff_ { BackoffReport report; };
    struct Recovered_ { const DeviceConfig* meter; int cycle; };
    struct SlotsSkipped_ { const LineInfo* line; int cycle; int skipped; };
    struct CycleOver_ { const LineInfo* line; int cycle; };
    enum class FaultTold { no, began, over };
    struct Problem_ { std::shared_ptr<const std::string> text; FaultTold fault; };
    struct LineEnded_ { std::shared_ptr<const RunSummary> summary; };
    struct Finished_ {};
    using Event = std::variant<Started_, Cycle_, Wrote_, BackingOff_, Recovered_, SlotsSkipped_, CycleOver_, Problem_,
                               LineEnded_, Finished_>;

    class Thread;
    void Post(const Event& event);

    // Read by every post, written by Add: an outlet's own thread (a broker
    // link's) may say something while the run still adds outlets.
    std::shared_mutex threads_mutex_;
    std::vector<std::unique_ptr<Thread>> threads_;
};
