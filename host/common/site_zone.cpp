#include "host/common/site_zone.h"

#include <date/tz.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "host/common/clock.h"

namespace {

using Ms = std::chrono::milliseconds;
using SysMs = date::sys_time<Ms>;
using LocalMs = date::local_time<Ms>;

// The zone database, read from /usr/share/zoneinfo at its first use. The
// library keeps it once per process and guards that first read itself, but
// out of sight of the thread checker (its guard is in code it does not
// see); taking it through a guard of ours makes every later reader's view of
// it ordered after the read, for the checker as for the reader.
void read_zone_database() {
    static const date::tzdb& database = date::get_tzdb();
    (void)database;
}

const date::time_zone* zone_named(const std::string& name) {
    try {
        read_zone_database();
        return date::locate_zone(name);
    } catch (const std::runtime_error&) {
        throw std::invalid_argument("no time zone named \"" + name + "\" in the zone database (/usr/share/zoneinfo)");
    }
}

}  // namespace

SiteZone::SiteZone() : SiteZone("UTC") {}

SiteZone::SiteZone(const std::string& name) : name_(name), zone_(zone_named(name)) {}

std::string SiteZone::SystemName() {
    // Read once at the call; nothing here changes the process's own zone.
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') return tz[0] == ':' ? tz + 1 : tz;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink("/etc/localtime", error);
    const std::string text = target.string();
    const std::size_t at = text.find("zoneinfo/");
    if (!error && at != std::string::npos) return text.substr(at + 9);
    return "UTC";
}

SiteZone SiteZone::OrSystem(const std::string& name) {
    if (!name.empty()) return SiteZone(name);
    const std::string system = SystemName();
    return site_zone_problem(system).empty() ? SiteZone(system) : SiteZone();
}

std::string SiteZone::LocalText(std::int64_t utc_ms) const {
    // The local clock's fields written as UTC's are: one formatter, and a
    // cheap one (a month of quarter hours is thousands of these).
    const std::int64_t local_ms = zone_->to_local(SysMs(Ms(utc_ms))).time_since_epoch().count();
    std::string text = utc_text(local_ms - ((local_ms % 1000) + 1000) % 1000).substr(0, 19);
    text[10] = ' ';
    return text;
}

std::int64_t SiteZone::Utc(int year, unsigned month, unsigned day, int hour, int minute) const {
    const date::local_days days{date::year(year) / date::month(month) / date::day(day)};
    const LocalMs local = LocalMs(days) + std::chrono::hours(hour) + std::chrono::minutes(minute);
    return zone_->to_sys(local, date::choose::earliest).time_since_epoch().count();
}

std::optional<std::int64_t> SiteZone::DayStart(const std::string& text) const {
    int year = 0;
    unsigned month = 0, day = 0;
    int used = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2u-%2u%n", &year, &month, &day, &used) != 3 || used != 10) {
        return std::nullopt;
    }
    if (!date::year_month_day(date::year(year), date::month(month), date::day(day)).ok()) return std::nullopt;
    return Utc(year, month, day);
}

std::int64_t SiteZone::PeriodStart(SitePeriod period, std::int64_t utc_ms) const {
    const LocalMs local = zone_->to_local(SysMs(Ms(utc_ms)));
    if (period == SitePeriod::hour) {
        // Back to the local whole hour: the offset is the same across it.
        return utc_ms - (local - date::floor<std::chrono::hours>(local)).count();
    }
    const date::local_days today = date::floor<date::days>(local);
    date::year_month_day first{today};
    if (period == SitePeriod::week) {
        const date::local_days monday = today - (date::weekday(today) - date::Monday);
        first = date::year_month_day{monday};
    } else if (period == SitePeriod::month) {
        first = first.year() / first.month() / 1;
    }
    return Utc(static_cast<int>(first.year()), static_cast<unsigned>(first.month()), static_cast<unsigned>(first.day()));
}

std::int64_t SiteZone::PeriodAfter(SitePeriod period, std::int64_t start_ms) const {
    if (period == SitePeriod::hour) return start_ms + 3600000;
    const date::local_days today = date::floor<date::days>(zone_->to_local(SysMs(Ms(start_ms))));
    date::year_month_day next{today + date::days(period == SitePeriod::week ? 7 : 1)};
    if (period == SitePeriod::month) {
        const date::year_month_day first{today};
        next = (first.year() / first.month() / 1) + date::months(1);
    }
    return Utc(static_cast<int>(next.year()), static_cast<unsigned>(next.month()), static_cast<unsigned>(next.day()));
}

std::int64_t SiteZone::IntervalStart(int minutes, std::int64_t utc_ms) const {
    const LocalMs local = zone_->to_local(SysMs(Ms(utc_ms)));
    const auto since_hour = local - date::floor<std::chrono::hours>(local);
    const std::int64_t step = std::int64_t{minutes} * 60000;
    return utc_ms - since_hour.count() % step;
}

std::string site_zone_problem(const std::string& name) {
    try {
        SiteZone zone(name);
        return "";
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
}
