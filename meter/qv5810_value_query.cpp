// The value query: the device offers no single values, only the reason why.
#include <mutex>
#include <stdexcept>

#include "meter/qv5810.h"

namespace {
constexpr long long kFreshForSeconds = 60;
}

double QV5810::Get_Value(unsigned int, const std::string&) const {
    bool valid = false;
    boost::posix_time::ptime updated;
    {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        valid = data_valid;
        updated = last_update_time;
    }
    if (!valid) throw std::out_of_range("数据未就绪");
    // ticks() is 64-bit on every target, unlike total_seconds().
    const auto elapsed = wall_clock.load()() - updated;
    const long long age = elapsed.ticks() / boost::posix_time::time_duration::ticks_per_second();
    if (age > kFreshForSeconds) throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}
