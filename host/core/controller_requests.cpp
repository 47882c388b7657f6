#include "host/core/controller_requests.h"

#include <algorithm>

#include "framework/control_codes.h"
#include "framework/sp_modbus.h"

std::string snapshot_text(SPModbus& device) {
    std::string text(4096, '\0');
    int written = 0;
    // A text longer than the room is not copied; its length is said, and asked for again.
    if (device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()),
                               written) != 0) {
        text.resize(static_cast<std::size_t>(std::max(written, 0)));
        device.DeviceIoControl(control_code::kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()),
                               written);
    }
    text.resize(static_cast<std::size_t>(std::clamp(written, 0, static_cast<int>(text.size()))));
    return text;
}

void start_write(SPModbus& device, const std::vector<std::uint16_t>& words) {
    int written = 0;
    const int code = words.size() == 2 ? control_code::kWriteRegister : control_code::kWriteRegisters;
    device.DeviceIoControl(code, words.data(), static_cast<int>(words.size() * sizeof words[0]), nullptr, 0, written);
}

std::int32_t write_status(SPModbus& device) {
    std::int32_t status = write_outcome::kNone;
    int written = 0;
    device.DeviceIoControl(kWriteStatusQuery, nullptr, 0, &status, sizeof status, written);
    return status;
}
