// What the controller and a device agree on across DeviceIoControl and the
// Modbus exchange: command codes, the exchange tags held in poll_state and
// the outcomes a write-status query reports.
#pragma once

#include <cstdint>

namespace control_code {
constexpr int kWriteRegister = 206;   // input: address word, value word
constexpr int kWriteRegisters = 210;  // input: start address word, then the values
constexpr int kSignalRequest = 310;   // input: JSON text naming "signal_id"
constexpr int kCommand320 = 320;
constexpr int kSnapshotText = 801;    // output: compact JSON text
constexpr int kSnapshotHandle = 803;  // output: the address of the JSON value
// Any code a device does not claim reports the last write's outcome; the
// bench host asks with this one.
constexpr int kWriteStatusQuery = 999;
}  // namespace control_code

namespace poll_state_tag {
// The answer awaited for the i-th register block of a poll cycle is tagged
// kFirstBlock + i. A write awaits its confirmation under its command code.
constexpr std::int32_t kFirstBlock = 11;
constexpr std::int32_t kWriteRegister = control_code::kWriteRegister;
constexpr std::int32_t kWriteRegisters = control_code::kWriteRegisters;
}  // namespace poll_state_tag

namespace write_outcome {
constexpr std::int32_t kNone = -1;  // nothing written, or a command since the last answer
constexpr std::int32_t kConfirmed = 1;
constexpr std::int32_t kNotConfirmed = 3;
}  // namespace write_outcome
