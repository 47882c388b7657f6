// What the controller defines for DeviceIoControl: the command codes, and
// the outcomes a device reports for its last register write under any code
// it does not claim.
#pragma once

#include <cstdint>

namespace control_code {
constexpr int kWriteRegister = 206;   // input: address word, value word
constexpr int kWriteRegisters = 210;  // input: start address word, then the values
constexpr int kSignalRequest = 310;   // input: JSON text naming "signal_id"
constexpr int kCommand320 = 320;
constexpr int kSnapshotText = 801;    // output: compact JSON text
constexpr int kSnapshotHandle = 803;  // output: the address of the JSON value
}  // namespace control_code

namespace write_outcome {
constexpr std::int32_t kNone = -1;  // nothing written, or a command since the last answer
constexpr std::int32_t kConfirmed = 1;
constexpr std::int32_t kNotConfirmed = 3;
}  // namespace write_outcome
