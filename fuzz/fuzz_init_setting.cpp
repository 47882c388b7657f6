// InitSetting with any JSON document the library can parse.
#include <json/reader.h>

#include <string>

#include "fuzz/fuzz_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value config;
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!Json::Reader().parse(text, text + size, config)) return 0;
#pragma GCC diagnostic pop
    } catch (const Json::Exception&) {
        return 0;
    }
    FuzzRig rig;
    try {
        rig.device->InitSetting(config);
    } catch (const Json::LogicError&) {
        // A member that has no text (an array or object where text belongs):
        // the library refuses the conversion, and the device passes that on.
    }
    return 0;
}
