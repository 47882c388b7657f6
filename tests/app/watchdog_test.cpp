// The service watchdog's feeding over lines whose threads beat their
// heartbeats, on a clock moved by hand.
#include <gtest/gtest.h>

#include "host/app/watchdog.h"
#include "tests/support/scripted_line.h"

TEST(Watchdog, FedWhileEveryLineGoesRoundNotOnceOneStallsAndAgainWhenItGoesOn) {
    FakeSteadyClock clock;
    Heartbeat going, stalling;
    int fed = 0;
    Watchdog watchdog({&going, &stalling}, clock, [&fed] { ++fed; });
    const auto promise = std::chrono::seconds(40);
    going.Beat(clock.Now() + promise);
    EXPECT_FALSE(watchdog.Tick()) << "a line that never beat";
    stalling.Beat(clock.Now() + promise);
    EXPECT_TRUE(watchdog.Tick());
    // One line beats every 30 s, the other no more.
    std::vector<bool> ticks;
    for (int i = 0; i < 3; ++i) {
        clock.Advance(std::chrono::seconds(30));
        going.Beat(clock.Now() + promise);
        ticks.push_back(watchdog.Tick());
    }
    EXPECT_EQ(ticks, (std::vector<bool>{true, false, false}));
    stalling.Beat(clock.Now() + promise);
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(fed, 3);
}
