// Wall-clock time as the controller packs it into device records.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>

#include "framework/host_api.h"

// The first seven bytes are the packed stamp records carry: year (16-bit,
// native little-endian), month, day, hour, minute, second.
struct TTime {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
    std::uint8_t weekday;
};
static_assert(sizeof(TTime) == 8, "TTime is the controller's 8-byte time");

constexpr int kPackedTimeSize = 7;

QMX_HOST_API TTime get_ttime(const boost::posix_time::ptime& time);
