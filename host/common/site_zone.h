// The site's civil time: the zone its people read clocks and bills in
// (the site_timezone setting), from the system's zone database. Periods
// are the site's: a day is from one local midnight to the next, 23 or 25
// hours at the clock changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace date {
class time_zone;
}

enum class SitePeriod { hour, day, week, month };

class SiteZone {
public:
    // UTC.
    SiteZone();
    // Throws std::invalid_argument for a name the zone database does not know.
    explicit SiteZone(const std::string& name);

    // TZ (without a leading colon) when set, else the zone /etc/localtime
    // links to, else "UTC". Not checked.
    static std::string SystemName();
    // The named zone; for an empty name the system's, or UTC when the
    // database does not know that one. Throws as the constructor.
    static SiteZone OrSystem(const std::string& name);

    const std::string& name() const { return name_; }
    // "2026-03-29 03:00:00", as SQLite's datetime() writes local times.
    std::string LocalText(std::int64_t utc_ms) const;
    // The UTC time of a local wall-clock time; a time the clock skips is
    // taken at the change, a time it shows twice the first time.
    std::int64_t Utc(int year, unsigned month, unsigned day, int hour = 0, int minute = 0) const;
    // "2026-03-29": the UTC start of that local day; nothing for any other text.
    std::optional<std::int64_t> DayStart(const std::string& text) const;
    // The start of the local period holding `utc_ms` (ISO weeks: from Monday).
    std::int64_t PeriodStart(SitePeriod period, std::int64_t utc_ms) const;
    // The start of the next period after the one that starts at `start_ms`.
    std::int64_t PeriodAfter(SitePeriod period, std::int64_t start_ms) const;
    // The start of the local interval of `minutes` (dividing an hour) holding `utc_ms`.
    std::int64_t IntervalStart(int minutes, std::int64_t utc_ms) const;

private:
    std::string name_;
    const date::time_zone* zone_;
};

// What is wrong with a zone's name, or "".
std::string site_zone_problem(const std::string& name);
