// What the bench host asks of a device through DeviceIoControl, as the
// controller does: the snapshot text, a register write, and the write's
// outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SPModbus;

// Any code a device does not claim reports its last write's outcome; the
// bench host asks with this one.
constexpr int kWriteStatusQuery = 999;

// Command 801's answer: the snapshot as compact JSON text.
std::string snapshot_text(SPModbus& device);
// Commands 206 (one value) and 210 (several): `words` is the first register, then the values.
void start_write(SPModbus& device, const std::vector<std::uint16_t>& words);
std::int32_t write_status(SPModbus& device);
