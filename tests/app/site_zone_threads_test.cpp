// The zone database is read at its first use, on whichever thread comes
// first: a configuration read on one line's thread and a page answered on
// another. Built with the thread checker too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/common/site_zone.h"

// The second thread waits on a relaxed flag, which orders nothing for the
// checker: only the zone code's own ordering can make its reads safe.
TEST(SiteZoneThreads, AZoneLookedUpAfterAnotherThreadReadTheDatabaseIsOrderedAfterTheRead) {
    std::atomic<bool> read{false};
    std::string named;
    std::thread first([&read] {
        const SiteZone berlin("Europe/Berlin");
        read.store(true, std::memory_order_relaxed);
    });
    std::thread second([&read, &named] {
        while (!read.load(std::memory_order_relaxed)) std::this_thread::yield();
        named = SiteZone("America/New_York").name();
    });
    first.join();
    second.join();
    EXPECT_EQ(named, "America/New_York");
}
