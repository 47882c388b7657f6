// The built qv5810.so driven the way the controller drives it: loaded with
// dlopen, devices made through get_providers, polled through the framework.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "plugin/providers.h"
#include "tests/support/device_rig.h"
#include "tests/support/json_text.h"
#include "tests/support/quiet_test.h"

namespace {

using GetProviders = ProviderList (*)();

class Plugin : public QuietTest {
protected:
    static void SetUpTestSuite() {
        handle = dlopen(QV5810_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        void* entry = dlsym(handle, "get_providers");
        ASSERT_NE(entry, nullptr) << dlerror();
        get_providers = reinterpret_cast<GetProviders>(entry);
    }
    // The plug-in stays loaded: the controller never unloads it while its
    // devices may exist, and neither do we.

    static SPModbus* MakeDevice() {
        const ProviderList providers = get_providers();
        auto* factory = dynamic_cast<QMXSPDeviceProvider*>(providers.at(0).get());
        return factory != nullptr ? factory->create() : nullptr;
    }

    static void* handle;
    static GetProviders get_providers;
};

void* Plugin::handle = nullptr;
GetProviders Plugin::get_providers = nullptr;

Json::Value parse(const std::string& text) { return parse_json(text).value_or(Json::Value()); }

}  // namespace

TEST_F(Plugin, EachCallGivesANewListWithOneProvider) {
    const ProviderList first = get_providers();
    const ProviderList second = get_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get());
}

TEST_F(Plugin, DevicesAreDistinctAndOutliveTheirProvider) {
    std::unique_ptr<SPModbus> a;
    std::unique_ptr<SPModbus> b;
    {
        const ProviderList providers = get_providers();
        auto* factory = dynamic_cast<QMXSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(factory, nullptr);
        a.reset(factory->create());
        b.reset(factory->create());
    }
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "qv5810");
    b.reset();
    EXPECT_EQ(a->DeviceType(), "qv5810");
}

TEST_F(Plugin, FullCyclesEndToEnd) {
    DeviceRig rig(0x0BADCAFE, MakeDevice());
    Json::Value config = parse(R"({"appSetting": {"b_mode": "2"}})");
    for (std::size_t i = 0; i < oracle::rules().size(); ++i) {
        HostBinding::SetThreshold(*rig.device, oracle::rules()[i].key, 1 + static_cast<int>(i % 3),
                                  oracle::rules()[i].divisor == 10 ? 235.0f : 5.0f);
    }
    EXPECT_EQ(rig.device->InitSetting(config), 1);
    EXPECT_EQ(TakeOutput(), "InitSetting 195939070 b_mode_:2\n");

    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        rig.sink.Clear();
        rig.transport.Clear();
        rig.answered = 0;
        oracle::RegisterBank bank;
        bank.FillDistinct(static_cast<std::uint16_t>(cycle * 1000));
        bank.SetPair(oracle::kPhaseVoltage1, 2300 + cycle * 100);  // 230, 240, 250
        bank.SetPair(oracle::kCurrent2, 4000 + cycle * 3000);     // 4, 7, 10
        EXPECT_EQ(rig.RunCycle(bank), 0);
        EXPECT_EQ(TakeOutput(), "rvSize is 27\n");

        const auto requests = rig.transport.Requests();
        ASSERT_EQ(requests.size(), 4u);
        const int expected[4][2] = {{1792, 22}, {1814, 32}, {1846, 16}, {1880, 8}};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(requests[static_cast<std::size_t>(i)].address, expected[i][0]);
            EXPECT_EQ(requests[static_cast<std::size_t>(i)].count, expected[i][1]);
        }
        ASSERT_EQ(rig.sink.published.size(), 1u);
        const auto& record = rig.sink.published[0].bytes;
        EXPECT_EQ(rig.sink.published[0].data_id, 5156u);
        ASSERT_EQ(record.size(), 167u);
        EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4),
                  (std::vector<unsigned char>{0xFE, 0xCA, 0xAD, 0x0B}));
        EXPECT_EQ(std::vector<unsigned char>(record.begin() + 4, record.begin() + 160),
                  oracle::expected_register_area(bank));
        ASSERT_EQ(rig.sink.history.size(), 1u);
        EXPECT_EQ(rig.sink.history[0], record);

        ASSERT_EQ(rig.sink.alarms.size(), 27u);
        for (std::size_t i = 0; i < 27; ++i) {
            const auto& rule = oracle::rules()[i];
            const AlarmReport& report = rig.sink.alarms[i];
            const std::int32_t value = oracle::scaled(bank, rule.high_register, rule.divisor);
            const float threshold = rule.divisor == 10 ? 235.0f : 5.0f;
            EXPECT_EQ(report.alarm_key, rule.key);
            EXPECT_EQ(report.signal_key, rule.key);
            EXPECT_EQ(report.alarm_text, rule.text);
            EXPECT_EQ(report.value_text, oracle::value_text(value));
            EXPECT_EQ(report.level, 1 + static_cast<int>(i % 3));
            EXPECT_EQ(report.state, rule.high ? static_cast<float>(value) > threshold
                                              : static_cast<float>(value) < threshold);
            EXPECT_EQ(report.count, 1);
        }
    }
}

TEST_F(Plugin, SnapshotAndWriteThroughTheLoadedPlugin) {
    DeviceRig rig(1, MakeDevice());
    oracle::RegisterBank bank;
    bank.SetPair(1812, 5002);
    rig.RunCycle(bank);
    std::vector<char> out(4096);
    int written = 0;
    ASSERT_EQ(rig.Control(801, nullptr, 0, out.data(), 4096, written), 0);
    EXPECT_EQ(parse(std::string(out.data(), static_cast<std::size_t>(written)))["频率"].asInt(), 50);
    const std::uint16_t write[] = {40, 41};
    EXPECT_EQ(rig.Control(206, write, 4, nullptr, 0, written), 0);
    rig.Answer({41});
    EXPECT_EQ(rig.WriteStatus(), 1);
}
