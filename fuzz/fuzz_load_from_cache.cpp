// LoadFromCache with any bytes and any claimed length.
#include <string>

#include "fuzz/fuzz_rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzRig rig;
    FuzzInput in(data, size);
    const auto claimed = in.Take<std::int32_t>();
    const std::string bytes(reinterpret_cast<const char*>(in.Rest()), in.Left());
    // Never claim more than there is.
    const int length = claimed < 0 ? claimed : static_cast<int>(static_cast<std::size_t>(claimed) % (bytes.size() + 1));
    const int taken = rig.device->LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), length);
    if (taken != (length == 167 ? 1 : 0)) __builtin_trap();
    if (rig.device->LoadFromCache(bytes) != (bytes.size() == 167 ? 1 : 0)) __builtin_trap();
    return 0;
}
