#include "host/energy/energy.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "host/history/history_schema.h"
#include "host/history/read_only_history.h"
#include "host/meter_view/meter_readings.h"

namespace {

constexpr std::int64_t kMinuteMs = 60000;
constexpr std::int64_t kHourMs = 3600000;

// The history's tables, finest first, and how long each row stands for.
enum Level { kRaw = 0, kMinute = 1, kHour = 2 };
constexpr std::int64_t kLevelMs[] = {0, kMinuteMs, kHourMs};

struct Reading {
    std::int64_t t_ms = 0;  // of a raw row; of an aggregate, its end: its last reading is before
    std::vector<std::int64_t> counts;
};

// A step from `a` to `b` that a feeder's consumption can make.
bool plausible(std::int64_t step, std::int64_t ms) {
    const double most = kMostFeederWatts * static_cast<double>(ms) / 3.6e6 + static_cast<double>(kCounterSlack);
    return step >= 0 && static_cast<double>(step) <= most;
}

}  // namespace

const std::vector<const MeterReading*>& energy_counters() {
    static const std::vector<const MeterReading*> counters = [] {
        std::vector<const MeterReading*> found;
        for (const MeterReading& reading : kMeterReadings) {
            if (reading.counter) found.push_back(&reading);
        }
        return found;
    }();
    return counters;
}

std::size_t imported_active_counter() { return 0; }

struct EnergyHistory::Impl {
    explicit Impl(const std::string& path) : db(path) {
        for (int level = kRaw; level <= kHour; ++level) {
            std::string columns;
            for (const MeterReading* counter : energy_counters()) {
                columns += ", " + raw_column(counter->high_register) + (level == kRaw ? "" : "_last");
            }
            const std::string table = level == kRaw ? "raw" : level == kMinute ? "minute" : "hour";
            const std::string size = std::to_string(kLevelMs[level]);
            // Readings whose time is in (?2, ?3]; an aggregate's time is its end.
            select[level] = Prepare("SELECT t + " + size + columns + " FROM " + table +
                                    " WHERE device = ?1 AND t > ?2 - " + size + " AND t <= ?3 - " + size + " ORDER BY t");
        }
        // Where a counter went back between two rows of a finer table: a
        // reset and the counting up after it may fall inside one step of a
        // coarser table, which alone would show no step back.
        for (int level = kRaw; level < kHour; ++level) {
            std::string steps, back;
            for (std::size_t k = 0; k < energy_counters().size(); ++k) {
                const std::string c = raw_column(energy_counters()[k]->high_register) + (level == kRaw ? "" : "_last");
                const std::string d = "d" + std::to_string(k);
                steps += ", " + c + " - lag(" + c + ") OVER (ORDER BY t) AS " + d;
                back += (k > 0 ? " OR " : "") + d + " < 0";
            }
            const std::string table = level == kRaw ? "raw" : "minute";
            const std::string size = std::to_string(kLevelMs[level]);
            went_back[level] = Prepare("SELECT t + " + size + " FROM (SELECT t" + steps + " FROM " + table +
                                       " WHERE device = ?1 AND t > ?2 - " + size + " AND t <= ?3 - " + size + ") WHERE " +
                                       back + " ORDER BY t");
        }
        minutes = Prepare("SELECT t FROM minute WHERE device = ?1 AND t >= ?2 AND t < ?3 ORDER BY t");
        hours = Prepare("SELECT t FROM hour WHERE device = ?1 AND t >= ?2 AND t < ?3 ORDER BY t");
    }

    Statement Prepare(const std::string& sql) { return db.Prepare(sql); }
    [[noreturn]] void Fail(const std::string& what) const { db.Fail(what); }

    std::vector<Reading> Fetch(int level, std::uint32_t device, std::int64_t after_ms, std::int64_t upto_ms) {
        sqlite3_stmt* s = select[level].get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, device);
        sqlite3_bind_int64(s, 2, after_ms);
        sqlite3_bind_int64(s, 3, upto_ms);
        std::vector<Reading> readings;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            Reading reading;
            reading.t_ms = sqlite3_column_int64(s, 0);
            for (int c = 1; c < sqlite3_column_count(s); ++c) reading.counts.push_back(sqlite3_column_int64(s, c));
            readings.push_back(std::move(reading));
        }
        if (rc != SQLITE_DONE) Fail("cannot read");
        return readings;
    }

    std::vector<std::int64_t> Times(Statement& statement, std::uint32_t device, std::int64_t from_ms, std::int64_t to_ms) {
        sqlite3_stmt* s = statement.get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, device);
        sqlite3_bind_int64(s, 2, from_ms);
        sqlite3_bind_int64(s, 3, to_ms);
        std::vector<std::int64_t> times;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) times.push_back(sqlite3_column_int64(s, 0));
        if (rc != SQLITE_DONE) Fail("cannot read");
        return times;
    }

    // The step from `a` to `b` added to `sums`, counter by counter; a step
    // that is no consumption looked at in the next finer table, and where
    // there is none, reported and left out.
    void Step(std::uint32_t device, int level, const Reading& a, const Reading& b, std::vector<std::int64_t>& sums,
              std::vector<bool>& broken, std::vector<CounterBreak>& breaks) {
        bool finer = false;
        for (std::size_t k = 0; k < sums.size(); ++k) {
            if (!plausible(b.counts[k] - a.counts[k], b.t_ms - a.t_ms)) finer = true;
        }
        for (int below = kRaw; below < level; ++below) {
            const std::vector<std::int64_t>& times = backs[below];
            const auto after_a = std::upper_bound(times.begin(), times.end(), a.t_ms);
            if (after_a != times.end() && *after_a <= b.t_ms) finer = true;
        }
        if (finer && level > kRaw) {
            const std::vector<Reading> fine = Fetch(level - 1, device, a.t_ms, b.t_ms);
            if (!fine.empty()) {
                const Reading* previous = &a;
                for (const Reading& reading : fine) {
                    Step(device, level - 1, *previous, reading, sums, broken, breaks);
                    previous = &reading;
                }
                // The aggregate's last reading is the finer table's last: nothing is left between.
                return;
            }
        }
        for (std::size_t k = 0; k < sums.size(); ++k) {
            const std::int64_t step = b.counts[k] - a.counts[k];
            if (plausible(step, b.t_ms - a.t_ms)) {
                sums[k] += step;
                continue;
            }
            broken[k] = true;
            breaks.push_back(CounterBreak{energy_counters()[k], b.t_ms, a.counts[k], b.counts[k]});
        }
    }

    ReadOnlyHistory db;
    Statement select[3];
    Statement went_back[2];               // raw, minute
    std::vector<std::int64_t> backs[2];   // of the answer being made: when a counter went back there
    Statement minutes, hours;
};

EnergyHistory::EnergyHistory(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}

EnergyHistory::~EnergyHistory() = default;

std::vector<std::pair<std::uint32_t, std::string>> EnergyHistory::Meters() {
    Statement statement = impl_->Prepare("SELECT device, name FROM meters ORDER BY device");
    std::vector<std::pair<std::uint32_t, std::string>> meters;
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(statement.get(), 1);
        meters.emplace_back(static_cast<std::uint32_t>(sqlite3_column_int64(statement.get(), 0)),
                            name != nullptr ? reinterpret_cast<const char*>(name) : "");
    }
    return meters;
}

EnergyFigures EnergyHistory::Between(std::uint32_t device, const std::vector<std::int64_t>& bounds, std::int64_t edge_ms) {
    EnergyFigures figures;
    if (bounds.size() < 2) return figures;
    Impl& p = *impl_;
    const std::size_t counters = energy_counters().size();
    // The coarsest table whose rows end on every boundary: hours for the
    // site's hours, days and months (in zones a whole number of hours
    // off), minutes for demand's intervals. Its last reading before a
    // boundary is the last reading before it.
    int level = kHour;
    for (std::int64_t bound : bounds) {
        while (level > kRaw && bound % kLevelMs[level] != 0) --level;
    }
    // One snapshot of the file for the whole answer.
    sqlite3_exec(p.db.handle(), "BEGIN", nullptr, nullptr, nullptr);
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{p.db.handle()};
    const std::vector<Reading> readings = p.Fetch(level, device, bounds.front() - edge_ms - 1, bounds.back());
    const std::vector<std::int64_t> minutes = p.Times(p.minutes, device, bounds.front(), bounds.back());
    // From an hour before: the step into the first row is one too.
    for (int below = kRaw; below < kHour; ++below) {
        p.backs[below] = p.Times(p.went_back[below], device, bounds.front() - edge_ms - kHourMs, bounds.back());
    }
    const std::vector<std::int64_t> hours = p.Times(p.hours, device, bounds.front(), bounds.back());
    const auto at_or_before = [&readings](std::int64_t t) {
        return std::upper_bound(readings.begin(), readings.end(), t,
                                [](std::int64_t x, const Reading& r) { return x < r.t_ms; });
    };
    const auto count_in = [](const std::vector<std::int64_t>& times, std::int64_t from, std::int64_t to) {
        return std::lower_bound(times.begin(), times.end(), to) - std::lower_bound(times.begin(), times.end(), from);
    };
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        const std::int64_t from = bounds[i], to = bounds[i + 1];
        EnergyPeriod period;
        period.start_ms = from;
        period.end_ms = to;
        period.counts.assign(counters, std::nullopt);
        period.broken.assign(counters, false);
        const auto minute_rows = count_in(minutes, from, to);
        period.coverage = minute_rows > 0 ? static_cast<double>(minute_rows * kMinuteMs) / static_cast<double>(to - from)
                                          : static_cast<double>(count_in(hours, from, to) * kHourMs) /
                                                static_cast<double>(to - from);
        period.coverage = std::min(1.0, period.coverage);
        // The readings of the period: (from, to], after the boundary's own.
        auto first = at_or_before(from);
        const auto last = at_or_before(to);
        bool starts_whole = false;
        if (first != readings.begin() && std::prev(first)->t_ms >= from - edge_ms) {
            --first;
            starts_whole = true;
        }
        const bool ends_whole = last != readings.begin() && std::prev(last)->t_ms >= to - edge_ms &&
                                std::prev(last)->t_ms > from;
        period.whole = starts_whole && ends_whole;
        if (first == last || period.coverage <= 0) {
            figures.periods.push_back(std::move(period));
            continue;
        }
        // Without a reading at the start, the period begins at its own first,
        // the earliest the finer tables hold (raw rows may be pruned part of
        // the way), not at its first aggregate's end.
        std::vector<Reading> chain;
        if (!starts_whole && level > kRaw) {
            for (int finer = kRaw; finer < level; ++finer) {
                std::vector<Reading> fine = p.Fetch(finer, device, from, first->t_ms);
                if (fine.empty() || fine.front().t_ms >= first->t_ms) continue;
                if (chain.empty() || fine.front().t_ms < chain.front().t_ms) chain.assign(1, std::move(fine.front()));
            }
        }
        chain.insert(chain.end(), first, last);
        if (chain.size() >= 2) {
            std::vector<std::int64_t> sums(counters, 0);
            std::vector<bool> broken(counters, false);
            for (std::size_t r = 1; r < chain.size(); ++r) p.Step(device, level, chain[r - 1], chain[r], sums, broken, figures.breaks);
            for (std::size_t k = 0; k < counters; ++k) period.counts[k] = sums[k];
            period.broken = broken;
        }
        figures.periods.push_back(std::move(period));
    }
    return figures;
}

std::optional<std::vector<std::int64_t>> site_bounds(const SiteZone& zone, SitePeriod period, std::int64_t from_ms,
                                                     std::int64_t to_ms, std::size_t most) {
    std::vector<std::int64_t> bounds{zone.PeriodStart(period, from_ms)};
    while (bounds.back() <= to_ms) {
        if (bounds.size() > most) return std::nullopt;
        bounds.push_back(zone.PeriodAfter(period, bounds.back()));
    }
    return bounds;
}

EnergyFigures energy_by(EnergyHistory& history, std::uint32_t device, const SiteZone& zone, SitePeriod period,
                        std::int64_t from_ms, std::int64_t to_ms) {
    const auto bounds = site_bounds(zone, period, from_ms, to_ms, 100000);
    return bounds ? history.Between(device, *bounds, kHourMs) : EnergyFigures{};
}

std::optional<DemandFigures> demand_of(EnergyHistory& history, std::uint32_t device, const SiteZone& zone, int minutes,
                                       std::int64_t from_ms, std::int64_t to_ms, std::size_t most) {
    const std::int64_t step = std::int64_t{minutes} * kMinuteMs;
    std::vector<std::int64_t> bounds{zone.IntervalStart(minutes, from_ms)};
    while (bounds.back() <= to_ms) {
        if (bounds.size() > most) return std::nullopt;
        bounds.push_back(bounds.back() + step);
    }
    EnergyFigures energy = history.Between(device, bounds, step / 10);
    DemandFigures demand;
    demand.minutes = minutes;
    demand.breaks = std::move(energy.breaks);
    const std::size_t k = imported_active_counter();
    const int divisor = energy_counters()[k]->divisor;
    for (EnergyPeriod& interval : energy.periods) {
        std::optional<double> watts;
        if (interval.counts[k]) {
            watts = static_cast<double>(*interval.counts[k]) / divisor * 3.6e6 /
                    static_cast<double>(interval.end_ms - interval.start_ms);
        }
        const bool candidate = watts && interval.whole && !interval.broken[k] && interval.coverage >= kDemandCoverage;
        if (candidate && (!demand.peak || *watts > *demand.watts[*demand.peak])) demand.peak = demand.intervals.size();
        demand.watts.push_back(watts);
        demand.candidate.push_back(candidate);
        demand.intervals.push_back(std::move(interval));
    }
    return demand;
}

std::vector<SiteMeterEnergy> site_energy(EnergyHistory& history, const SiteZone& zone, std::int64_t start_ms,
                                         std::int64_t end_ms) {
    const std::int64_t month = zone.PeriodStart(SitePeriod::month, start_ms);
    const std::int64_t month_end = zone.PeriodAfter(SitePeriod::month, month);
    std::vector<SiteMeterEnergy> lines;
    for (const auto& [device, name] : history.Meters()) {
        SiteMeterEnergy line;
        line.device = device;
        line.name = name;
        EnergyFigures energy = history.Between(device, {start_ms, end_ms}, kHourMs);
        line.energy = energy.periods.front();
        line.breaks = energy.breaks.size();
        const auto demand = demand_of(history, device, zone, 15, month, month_end - 1, 3100);
        if (demand && demand->peak) {
            line.peak_start_ms = demand->intervals[*demand->peak].start_ms;
            line.peak_watts = demand->watts[*demand->peak];
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

namespace {

std::string csv_field(const std::string& value) {
    if (value.find_first_of(",\"\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A count in the counter's unit, as the meter shows it; empty for none.
std::string count_text(const MeterReading& counter, const std::optional<std::int64_t>& count) {
    if (!count) return "";
    if (counter.divisor == 1) return std::to_string(*count);
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(reading_decimals(counter)) << static_cast<double>(*count) / counter.divisor;
    return text.str();
}

std::string fixed_text(double value, int decimals) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

std::string json_text(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

void write_month_report(const std::string& path, const SiteZone& zone, const std::string& month, bool csv,
                        std::ostream& out) {
    const std::optional<std::int64_t> start = month.size() == 7 ? zone.DayStart(month + "-01") : std::nullopt;
    if (!start) throw std::invalid_argument("a month is written like 2026-03, not \"" + month + "\"");
    const std::int64_t end = zone.PeriodAfter(SitePeriod::month, *start);
    EnergyHistory history(path);
    const std::vector<SiteMeterEnergy> lines = site_energy(history, zone, *start, end);
    const MeterReading& imported = *energy_counters()[0];
    const MeterReading& exported = *energy_counters()[1];
    if (csv) {
        out << "meter,name,month," << csv_field(std::string(imported.label) + " (" + imported.unit + ")") << ','
            << csv_field(std::string(exported.label) + " (" + exported.unit + ")")
            << ",peak demand (W),peak demand interval start (" << csv_field(zone.name()) << "),coverage,counter breaks\n";
    }
    for (const SiteMeterEnergy& line : lines) {
        const std::string peak = line.peak_watts ? fixed_text(*line.peak_watts, 1) : "";
        const std::string peak_start = line.peak_start_ms ? zone.LocalText(*line.peak_start_ms) : "";
        const std::string coverage = fixed_text(line.energy.coverage, 3);
        if (csv) {
            out << line.device << ',' << csv_field(line.name) << ',' << month << ','
                << count_text(imported, line.energy.counts[0]) << ',' << count_text(exported, line.energy.counts[1]) << ','
                << peak << ',' << peak_start << ',' << coverage << ',' << line.breaks << '\n';
            continue;
        }
        const auto or_null = [](const std::string& text) { return text.empty() ? std::string("null") : text; };
        out << "{\"meter\":" << line.device << ",\"name\":" << json_text(line.name) << ",\"month\":\"" << month << "\",\""
            << imported.column << "\":" << or_null(count_text(imported, line.energy.counts[0])) << ",\"" << exported.column
            << "\":" << or_null(count_text(exported, line.energy.counts[1])) << ",\"peak_demand_w\":" << or_null(peak)
            << ",\"peak_local_start\":" << (peak_start.empty() ? "null" : json_text(peak_start))
            << ",\"zone\":" << json_text(zone.name()) << ",\"coverage\":" << coverage
            << ",\"counter_breaks\":" << line.breaks << "}\n";
    }
    out.flush();
    if (!out) throw std::runtime_error("cannot write the report");
}
