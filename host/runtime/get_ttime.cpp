#include "framework/host_time.h"

TTime get_ttime(const boost::posix_time::ptime& time) {
    TTime packed{};
    if (time.is_special()) return packed;
    const auto date = time.date();
    const auto clock = time.time_of_day();
    packed.year = static_cast<std::uint16_t>(date.year());
    packed.month = static_cast<std::uint8_t>(date.month().as_number());
    packed.day = static_cast<std::uint8_t>(date.day());
    packed.hour = static_cast<std::uint8_t>(clock.hours());
    packed.minute = static_cast<std::uint8_t>(clock.minutes());
    packed.second = static_cast<std::uint8_t>(clock.seconds());
    packed.weekday = static_cast<std::uint8_t>(date.day_of_week().as_number());
    return packed;
}
