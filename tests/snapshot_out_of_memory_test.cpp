// A snapshot request that runs out of memory part-way must not leave the
// next request serving another cycle's text, or text that is not the text
// of the object behind the handle. The allocator here fails on demand, so
// this suite is a program of its own.
#include <gtest/gtest.h>

#include <json/value.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/support/json_text.h"
#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

// Allocations left before one fails; negative: none fails.
std::atomic<long> g_allocations_left{-1};
std::atomic<bool> g_failed{false};

void* allocate(std::size_t size) {
    if (g_allocations_left.load() >= 0 && g_allocations_left.fetch_sub(1) == 0) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using boost::posix_time::time_from_string;

struct SnapshotOutOfMemory : QuietTest {
    std::string Text(QvRig& rig, int* result = nullptr) {
        const int r = rig.Control(801, nullptr, 0, out.data(), static_cast<int>(out.size()), written);
        if (result != nullptr) *result = r;
        return r == 0 ? std::string(out.data(), static_cast<std::size_t>(written)) : std::string();
    }

    const Json::Value* Handle(QvRig& rig, int* result = nullptr) {
        const Json::Value* handle = nullptr;
        const int r = rig.Control(803, nullptr, 0, &handle, sizeof handle, written);
        if (result != nullptr) *result = r;
        return handle;
    }

    std::vector<char> out = std::vector<char>(4096);
    int written = 0;
};

}  // namespace

// Fails the k-th allocation of a rebuilding request, for every k the
// request makes, then checks what the request after it serves.
TEST_F(SnapshotOutOfMemory, TheRequestAfterAFailedRebuildServesTheCurrentCycle) {
    for (int command : {801, 803}) {
        int failures = 0;
        bool failure_reached = true;
        for (long k = 0; failure_reached; ++k) {
            SCOPED_TRACE(testing::Message() << command << ", allocation " << k);
            QvRig rig;
            oracle::RegisterBank first, second;
            first.SetPair(oracle::kPhaseVoltage1, 2200);
            second.SetPair(oracle::kPhaseVoltage1, 2400);
            FakeClock::Set(time_from_string("2024-03-05 07:04:09"));
            rig.RunCycle(first);
            ASSERT_FALSE(Text(rig).empty());
            FakeClock::Advance(1);
            rig.RunCycle(second);

            g_failed = false;
            g_allocations_left = k;
            int result = 0;
            if (command == 801) {
                result = rig.Control(801, nullptr, 0, out.data(), static_cast<int>(out.size()), written);
            } else {
                Handle(rig, &result);
            }
            g_allocations_left = -1;
            failure_reached = g_failed.load();
            if (failure_reached) {
                ++failures;
                EXPECT_EQ(result, -1);
            }

            const std::string text = Text(rig, &result);
            ASSERT_EQ(result, 0);
            const auto served = parse_json(text);
            ASSERT_TRUE(served.has_value()) << text;
            EXPECT_EQ((*served)["相电压1"].asInt(), 240) << text;
            EXPECT_EQ((*served)["更新时间"].asString(), "2024-3-5 7:4:10") << text;
            EXPECT_EQ(text, compact_json(*Handle(rig)));
        }
        EXPECT_GT(failures, 0) << command;
    }
}
