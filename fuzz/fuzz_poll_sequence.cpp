// Random interleavings of poll starts, answers of any length and content,
// writes, snapshot requests and cache loads on one device.
#include <array>
#include <vector>

#include "fuzz/fuzz_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzRig rig;
    rig.device->InitSetting(Json::Value());
    FuzzInput in(data, size);
    std::array<std::uint16_t, 125> answer{};
    std::vector<char> output(4096);
    int written = 0;
    while (in.Left() > 0) {
        switch (in.Take<std::uint8_t>() % 8) {
            case 0:
                rig.device->RefreshStatus();
                break;
            case 1: {
                const unsigned count = in.Take<std::uint8_t>() % 126u;
                for (unsigned i = 0; i < count; ++i) answer[i] = in.Take<std::uint16_t>();
                HostBinding::DeliverAnswer(*rig.device, answer.data(), count);
                break;
            }
            case 2: {
                const std::uint16_t words[2] = {in.Take<std::uint16_t>(), in.Take<std::uint16_t>()};
                rig.device->DeviceIoControl(206, words, 4, nullptr, 0, written);
                break;
            }
            case 3: {
                std::array<std::uint16_t, 130> words{};
                const int length = in.Take<std::uint8_t>();
                for (auto& w : words) w = in.Take<std::uint8_t>();
                rig.device->DeviceIoControl(210, words.data(), length, nullptr, 0, written);
                break;
            }
            case 4:
                rig.device->DeviceIoControl(801, nullptr, 0, output.data(), in.Take<std::uint8_t>() * 16, written);
                break;
            case 5:
                rig.device->DeviceIoControl(803, nullptr, 0, output.data(), in.Take<std::uint8_t>() % 9, written);
                break;
            case 6: {
                std::array<std::uint8_t, 167> record{};
                for (auto& b : record) b = in.Take<std::uint8_t>();
                rig.device->LoadFromCache(record.data(), 167);
                break;
            }
            default: {
                Json::Value config;
                config["appSetting"]["b_mode"] = in.Take<std::uint8_t>() % 4;
                rig.device->InitSetting(config);
                HostBinding::SetThreshold(*rig.device, "110200010010", in.Take<std::int8_t>(),
                                          static_cast<float>(in.Take<std::int16_t>()));
                break;
            }
        }
    }
    return 0;
}
