// The device's own tags for the exchange it awaits, held in the
// controller's poll_state: the answer to the i-th register block of a poll
// cycle is awaited under kFirstBlock + i, a write's confirmation under its
// command code.
#pragma once

#include <cstdint>

#include "framework/control_codes.h"

namespace poll_state_tag {
constexpr std::int32_t kFirstBlock = 11;
constexpr std::int32_t kWriteRegister = control_code::kWriteRegister;
constexpr std::int32_t kWriteRegisters = control_code::kWriteRegisters;
}  // namespace poll_state_tag
