#include "control/snapshot_time_text.h"

#include <cstring>

std::string snapshot_time_text(const QV5810_Time_t& stamp) {
    unsigned char bytes[sizeof stamp];
    std::memcpy(bytes, &stamp, sizeof stamp);
    const unsigned year = bytes[0] | (static_cast<unsigned>(bytes[1]) << 8);
    std::string text = std::to_string(year);
    const char separators[] = {'-', '-', ' ', ':', ':'};
    for (std::size_t i = 0; i < sizeof separators; ++i) {
        text += separators[i];
        text += std::to_string(static_cast<unsigned>(bytes[2 + i]));
    }
    return text;
}
