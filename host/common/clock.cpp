#include "host/common/clock.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

const boost::gregorian::date kEpoch(1970, 1, 1);

}  // namespace

Clock::time_point SteadyClock::Now() { return std::chrono::steady_clock::now(); }

// Woken at once by a stop: Ctrl-C never waits out a long interval.
bool SteadyClock::SleepUntil(time_point until, const StopSignal& stop) { return stop.SleepUntil(until); }

std::int64_t utc_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Days and times by Boost.Date_Time, in 64 bits: a 32-bit time_t (the
// armhf target's) would end in 2038.
std::string utc_text(std::int64_t utc_ms) {
    const std::int64_t ms = ((utc_ms % 1000) + 1000) % 1000;
    const std::int64_t seconds = (utc_ms - ms) / 1000;
    const std::int64_t days = (seconds - ((seconds % 86400) + 86400) % 86400) / 86400;
    const std::int64_t second_of_day = seconds - days * 86400;
    const boost::gregorian::date day = kEpoch + boost::gregorian::date_duration(static_cast<long>(days));
    // Written digit by digit: a month of quarter hours is thousands of
    // these, and printf's format parsing was most of an answer's time.
    std::string text = "0000-00-00T00:00:00.000Z";
    const auto put = [&text](std::size_t end, std::int64_t value, int width) {
        for (int i = 0; i < width; ++i, value /= 10) text[end - static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(3, static_cast<int>(day.year()), 4);  // 1400 to 9999: the date throws outside
    put(6, static_cast<int>(day.month()), 2);
    put(9, static_cast<int>(day.day()), 2);
    put(12, second_of_day / 3600, 2);
    put(15, second_of_day / 60 % 60, 2);
    put(18, second_of_day % 60, 2);
    put(22, ms, 3);
    return text;
}

std::string utc_timestamp() { return utc_text(utc_now_ms()); }

std::optional<std::int64_t> utc_ms_from_text(const std::string& text) {
    std::string t = text;
    if (!t.empty() && t.back() == 'Z') t.pop_back();
    static const char frame[] = "dddd-dd-ddTdd:dd:dd";
    constexpr std::size_t kFrame = sizeof frame - 1;
    if (t.size() < kFrame) return std::nullopt;
    for (std::size_t i = 0; i < kFrame; ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (frame[i] == 'd' ? !digit : t[i] != frame[i]) return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t width) {
        int value = 0;
        for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (t[i] - '0');
        return value;
    };
    const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::int64_t days = 0;
    try {
        // Refuses a 31st of April as it refuses a 13th month.
        const boost::gregorian::date day(static_cast<unsigned short>(field(0, 4)),
                                         static_cast<unsigned short>(field(5, 2)),
                                         static_cast<unsigned short>(field(8, 2)));
        days = (day - kEpoch).days();
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
    int ms = 0;
    const std::string fraction = t.substr(kFrame);
    if (!fraction.empty()) {
        if (fraction[0] != '.' || fraction.size() < 2 || fraction.size() > 4) return std::nullopt;
        for (std::size_t i = 1; i < 4; ++i) {
            const char c = i < fraction.size() ? fraction[i] : '0';
            if (c < '0' || c > '9') return std::nullopt;
            ms = ms * 10 + (c - '0');
        }
    }
    return ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000 + ms;
}
