#include "host/common/clock.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

Clock::time_point SteadyClock::Now() { return std::chrono::steady_clock::now(); }

// steady_clock is CLOCK_MONOTONIC on Linux; a signal ends the sleep with
// EINTR, so Ctrl-C never waits out a long interval.
bool SteadyClock::SleepUntil(time_point until, const volatile std::sig_atomic_t& stop) {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000LL);
    while (!stop) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0) return !stop;
        if (rc != EINTR) return !stop;
    }
    return false;
}

std::int64_t utc_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string utc_text(std::int64_t utc_ms) {
    const std::int64_t ms = ((utc_ms % 1000) + 1000) % 1000;
    const auto seconds = static_cast<std::time_t>((utc_ms - ms) / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[24];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char with_ms[32];
    std::snprintf(with_ms, sizeof with_ms, "%s.%03dZ", text, static_cast<int>(ms));
    return with_ms;
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
    std::tm parts{};
    parts.tm_year = field(0, 4) - 1900;
    parts.tm_mon = field(5, 2) - 1;
    parts.tm_mday = field(8, 2);
    parts.tm_hour = field(11, 2);
    parts.tm_min = field(14, 2);
    parts.tm_sec = field(17, 2);
    if (parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60) {
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
    const std::time_t seconds = timegm(&parts);
    // timegm carries a 31st of April into May: such a date is no date.
    if (parts.tm_mday != field(8, 2)) return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1000 + ms;
}
