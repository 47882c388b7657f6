// The line speeds the bench host and the simulator offer: those Linux
// termios and libmodbus both know by name. libmodbus quietly runs any other
// speed at 9600 baud, so anything else is refused up front.
#pragma once

#include <algorithm>
#include <array>
#include <string>

inline constexpr std::array<int, 11> kLineSpeeds = {1200,  2400,   4800,   9600,   19200, 38400,
                                                    57600, 115200, 230400, 460800, 921600};

inline bool is_line_speed(long long baud) {
    return std::find(kLineSpeeds.begin(), kLineSpeeds.end(), baud) != kLineSpeeds.end();
}

inline std::string line_speed_list() {
    std::string list;
    for (int speed : kLineSpeeds) list += (list.empty() ? "" : ", ") + std::to_string(speed);
    return list;
}
