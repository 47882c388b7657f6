// DeviceIoControl with any code, input, input length and output capacity.
#include <vector>

#include "fuzz/fuzz_rig.h"

namespace {
const int kCodes[] = {206, 210, 310, 320, 801, 803};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzRig rig;
    FuzzInput in(data, size);
    const auto selector = in.Take<std::uint8_t>();
    const int code = selector < 192 ? kCodes[selector % 6] : in.Take<int>();
    // The claimed lengths may lie low or negative, never beyond the buffers:
    // the caller owns those.
    const auto claimed_input = in.Take<std::int16_t>();
    const auto claimed_capacity = in.Take<std::int16_t>();
    const bool null_output = (selector & 1) != 0 && selector >= 192;
    std::vector<std::uint8_t> input(in.Rest(), in.Rest() + in.Left());
    const int input_length = claimed_input < 0 ? claimed_input
                                               : static_cast<int>(static_cast<std::size_t>(claimed_input) % (input.size() + 1));
    std::vector<std::uint8_t> output(claimed_capacity > 0 ? static_cast<std::size_t>(claimed_capacity) : 0);
    int written = 0;
    const int result = rig.device->DeviceIoControl(code, input.empty() ? nullptr : input.data(), input_length,
                                                   null_output ? nullptr : output.data(), claimed_capacity, written);
    // What a finished request says it wrote must fit the room it was given.
    const int room = null_output || claimed_capacity < 0 ? 0 : claimed_capacity;
    if (result == 0 && written > room) __builtin_trap();
    return 0;
}
