// Poll cycles completing on one thread while the controller's request
// threads ask for snapshots, handles, write status and writes. Run under
// ThreadSanitizer by `make test`.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/json_text.h"
#include "tests/support/quiet_test.h"
#include "tests/support/qv_rig.h"

namespace {

constexpr int kCycles = 300;
const boost::posix_time::ptime kStart = boost::posix_time::time_from_string("2024-01-01 00:00:00");

// Every quantity of cycle n decodes to n; the time is kStart + n seconds.
oracle::RegisterBank bank_for_cycle(int n) {
    oracle::RegisterBank bank;
    for (const auto& member : oracle::snapshot_members()) bank.SetPair(member.high_register, n * member.divisor);
    return bank;
}

std::string time_text_of_cycle(int n) {
    return "2024-1-1 0:" + std::to_string(n / 60) + ":" + std::to_string(n % 60);
}

struct Observed {
    std::atomic<int> snapshots{0};
    std::atomic<int> inconsistent{0};
    std::atomic<int> went_back{0};
};

// Returns the cycle a snapshot text belongs to, 0 for the null snapshot, or
// -1 when its members do not all come from one cycle.
int cycle_of(const std::string& text) {
    if (text == "null\n") return 0;
    const auto parsed = parse_json(text);
    if (!parsed) return -1;
    const Json::Value& snapshot = *parsed;
    const int n = snapshot["第1相电流"].asInt();
    for (const auto& member : oracle::snapshot_members()) {
        if (snapshot[member.name].asInt() != n) return -1;
    }
    if (snapshot["更新时间"].asString() != time_text_of_cycle(n)) return -1;
    return n;
}

}  // namespace

class Stress : public QuietTest {};

TEST_F(Stress, SnapshotsNeverMixCyclesWhileRequestsRace) {
    QvRig rig;
    rig.InitSetting(R"({"appSetting": {"b_mode": 2}})");
    for (const auto& rule : oracle::rules()) HostBinding::SetThreshold(*rig.device, rule.key, 1, 100.0f);
    std::atomic<bool> polling{true};
    Observed observed;

    std::thread poller([&] {
        for (int n = 1; n <= kCycles; ++n) {
            FakeClock::Set(kStart + boost::posix_time::seconds(n));
            const auto bank = bank_for_cycle(n);
            rig.device->RefreshStatus();
            for (const auto& block : {std::pair<int, int>{1792, 22}, {1814, 32}, {1846, 16}, {1880, 8}}) {
                const auto registers = bank.Block(block.first, block.second);
                HostBinding::DeliverAnswer(*rig.device, registers.data(), static_cast<unsigned>(registers.size()));
            }
        }
        polling = false;
    });

    auto reader = [&](int id) {
        int last = 0;
        std::vector<char> out(8192);
        while (polling) {
            int written = 0;
            if (rig.Control(801, nullptr, 0, out.data(), static_cast<int>(out.size()), written) == 0) {
                const int n = cycle_of(std::string(out.data(), static_cast<std::size_t>(written)));
                ++observed.snapshots;
                if (n < 0) ++observed.inconsistent;
                if (n >= 0 && n < last) ++observed.went_back;
                if (n > last) last = n;
            }
            const Json::Value* handle = nullptr;
            rig.Control(803, nullptr, 0, &handle, sizeof handle, written);
            std::int32_t status = 0;
            rig.Control(999, nullptr, 0, &status, sizeof status, written);
            if (status != -1 && status != 1 && status != 3) ++observed.inconsistent;
            try {
                rig.device->Get_Value(0, "");
            } catch (const std::out_of_range&) {
            }
            if (id == 0 && (last % 50) == 49) {
                const std::uint16_t write[] = {100, static_cast<std::uint16_t>(last)};
                rig.Control(206, write, sizeof write, nullptr, 0, written);
            }
        }
    };
    std::vector<std::thread> readers;
    for (int id = 0; id < 3; ++id) readers.emplace_back(reader, id);
    poller.join();
    for (auto& t : readers) t.join();

    EXPECT_GT(observed.snapshots.load(), 0);
    EXPECT_EQ(observed.inconsistent.load(), 0);
    EXPECT_EQ(observed.went_back.load(), 0);

    // Every published record is one whole cycle too.
    for (const auto& record : rig.sink.published) {
        std::set<std::int32_t> cycles;
        for (const auto& member : oracle::snapshot_members()) {
            const auto at = static_cast<std::size_t>(oracle::record_offset(member.high_register));
            oracle::RegisterBank pair;
            pair.Set(0, static_cast<std::uint16_t>(record.bytes[at] | record.bytes[at + 1] << 8));
            pair.Set(1, static_cast<std::uint16_t>(record.bytes[at + 2] | record.bytes[at + 3] << 8));
            cycles.insert(oracle::scaled(pair, 0, member.divisor));
        }
        EXPECT_EQ(cycles.size(), 1u);
    }
    // Once the requests have stopped, a last cycle shows up in full.
    FakeClock::Set(kStart + boost::posix_time::seconds(kCycles + 1));
    rig.RunCycle(bank_for_cycle(kCycles + 1));
    std::vector<char> out(8192);
    int written = 0;
    ASSERT_EQ(rig.Control(801, nullptr, 0, out.data(), static_cast<int>(out.size()), written), 0);
    EXPECT_EQ(cycle_of(std::string(out.data(), static_cast<std::size_t>(written))), kCycles + 1);
}
