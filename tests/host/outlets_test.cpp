// The outlets' mailboxes: a stuck outlet holds up no poster and no other
// outlet, and is told, in order, what its full mailbox let go.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "host/report/outlets.h"

namespace {

// Takes each cycle's number; while held, its thread waits in the first one.
struct Taker : Outlet {
    void Cycle(const std::shared_ptr<const CycleReport>& report) override {
        std::unique_lock<std::mutex> lock(taker_mutex);
        ++entered;
        arrived.notify_all();
        released.wait(lock, [this] { return !held; });
        taken.push_back(report->cycle);
        arrived.notify_all();
    }
    void Missed(const Gap& gap) override {
        const std::lock_guard<std::mutex> lock(taker_mutex);
        missed.push_back(gap);
    }
    void Release() {
        {
            const std::lock_guard<std::mutex> lock(taker_mutex);
            held = false;
        }
        released.notify_all();
    }
    bool WaitForEntered() {
        std::unique_lock<std::mutex> lock(taker_mutex);
        return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return entered > 0; });
    }
    bool WaitFor(std::size_t cycles) {
        std::unique_lock<std::mutex> lock(taker_mutex);
        return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return taken.size() >= cycles; });
    }

    std::mutex taker_mutex;
    std::condition_variable released, arrived;
    bool held = false;
    int entered = 0;
    std::vector<int> taken;
    std::vector<Gap> missed;
};

std::shared_ptr<const CycleReport> stored_cycle(int number) {
    auto report = std::make_shared<CycleReport>();
    report->cycle = number;
    report->stored = {1, 2, 3};
    return report;
}

}  // namespace

TEST(Outlets, AStuckOutletHoldsUpNoPosterNorAnyOtherOutletAndHearsWhatItMissed) {
    Taker stuck_latest, stuck_output, free;
    stuck_latest.held = stuck_output.held = true;
    Outlets outlets;
    outlets.Add("latest", {&stuck_latest}, Mailbox{4, WhenFull::drop_oldest});
    outlets.Add("output", {&stuck_output}, Mailbox{4, WhenFull::refuse_newest});
    outlets.Add("free", {&free}, Mailbox{100, WhenFull::refuse_newest});
    // Posted from threads of their own, so that a post that waited would
    // show as a timeout, not a hang.
    auto first = std::async(std::launch::async, [&] { outlets.Cycle(stored_cycle(1)); });
    const bool entered = stuck_latest.WaitForEntered() && stuck_output.WaitForEntered();
    auto posted = std::async(std::launch::async, [&] {
        for (int cycle = 2; cycle <= 20; ++cycle) outlets.Cycle(stored_cycle(cycle));
    });
    const bool returned = first.wait_for(std::chrono::seconds(30)) == std::future_status::ready &&
                          posted.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool all_free = free.WaitFor(20);
    stuck_latest.Release();
    stuck_output.Release();
    ASSERT_TRUE(entered && returned) << "posting waited for an outlet";
    ASSERT_TRUE(all_free) << "one stuck outlet held up another";
    ASSERT_TRUE(stuck_latest.WaitFor(5));
    ASSERT_TRUE(stuck_output.WaitFor(5));
    outlets.Close();
    // Each stuck outlet held the first cycle; its mailbox took four more.
    EXPECT_EQ(stuck_latest.taken, (std::vector<int>{1, 17, 18, 19, 20}));  // the latest kept
    EXPECT_EQ(stuck_output.taken, (std::vector<int>{1, 2, 3, 4, 5}));      // the newest let go
    for (Taker* stuck : {&stuck_latest, &stuck_output}) {
        ASSERT_EQ(stuck->missed.size(), 1u);
        EXPECT_EQ(stuck->missed[0].events, 15u);
        EXPECT_EQ(stuck->missed[0].records, 15u);
    }
    EXPECT_TRUE(free.missed.empty());
}
