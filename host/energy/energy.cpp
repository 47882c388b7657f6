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
constexpr std::int64_t kQuarterMs = 15 * kMinuteMs;
constexpr std::int64_t kHourMs = 3600000;

// The history's tables, finest first, and how long each row stands for.
enum Level { kRaw = 0, kMinute = 1, kQuarter = 2, kHour = 3 };
constexpr std::int64_t kLevelMs[] = {0, kMinuteMs, kQuarterMs, kHourMs};
constexpr const char* kLevelTable[] = {"raw", "minute", "quarter", "hour"};

struct Reading {
    std::int64_t t_ms = 0;  // of a raw row; of an aggregate, its end: its last reading is before
    std::vector<std::int64_t> counts;
};

// A quarter hour's minutes with a record and the counters that broke in it.
struct QuarterMarks {
    std::int64_t t_ms = 0;  // its start
    std::int64_t minutes = 0;
    std::int64_t breaks = 0;
};


}  // namespace

std::size_t imported_active_counter() { return 0; }

struct EnergyHistory::Impl {
    explicit Impl(const std::string& path) : db(path) {
        // A file of an earlier version gets its quarters when the bench host opens it to write.
        Statement quarter = Prepare("SELECT count(*) FROM sqlite_master WHERE name = 'quarter'");
        if (sqlite3_step(quarter.get()) != SQLITE_ROW || sqlite3_column_int(quarter.get(), 0) == 0) {
            throw std::runtime_error("history " + path + ": of an earlier version; start qmxhost with it once to bring it "
                                     "up to date");
        }
        for (int level = kRaw; level <= kHour; ++level) {
            const std::string columns = counter_columns(level == kRaw ? "" : "_last");
            const std::string size = std::to_string(kLevelMs[level]);
            // Readings whose time is in (?2, ?3]; an aggregate's time is its end.
            select[level] = Prepare("SELECT t + " + size + columns + " FROM " + kLevelTable[level] +
                                    " WHERE device = ?1 AND t > ?2 - " + size + " AND t <= ?3 - " + size + " ORDER BY t");
        }
        marks = Prepare("SELECT t, minutes, breaks" + counter_columns("_last") +
                        " FROM quarter WHERE device = ?1 AND t >= ?2 AND t < ?3 ORDER BY t");
        hours = Prepare("SELECT t FROM hour WHERE device = ?1 AND t >= ?2 AND t < ?3 ORDER BY t");
    }

    Statement Prepare(const std::string& sql) { return db.Prepare(sql); }
    [[noreturn]] void Fail(const std::string& what) const { db.Fail(what); }

    void Bind(sqlite3_stmt* s, std::uint32_t device, std::int64_t a, std::int64_t b) {
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, device);
        sqlite3_bind_int64(s, 2, a);
        sqlite3_bind_int64(s, 3, b);
    }

    std::vector<Reading> Fetch(int level, std::uint32_t device, std::int64_t after_ms, std::int64_t upto_ms) {
        sqlite3_stmt* s = select[level].get();
        Bind(s, device, after_ms, upto_ms);
        std::vector<Reading> readings;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            Reading reading;
            reading.t_ms = sqlite3_column_int64(s, 0);
            reading.counts.reserve(counter_readings().size());
            for (int c = 1; c < sqlite3_column_count(s); ++c) reading.counts.push_back(sqlite3_column_int64(s, c));
            readings.push_back(std::move(reading));
        }
        if (rc != SQLITE_DONE) Fail("cannot read");
        return readings;
    }

    // The quarters from `from_ms` up to `to_ms`; with `readings`, their
    // readings too: one pass where the answer is read from the quarters.
    std::vector<QuarterMarks> Marks(std::uint32_t device, std::int64_t from_ms, std::int64_t to_ms,
                                    std::vector<Reading>* readings) {
        sqlite3_stmt* s = marks.get();
        Bind(s, device, from_ms, to_ms);
        std::vector<QuarterMarks> found;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            found.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2)});
            if (readings == nullptr) continue;
            Reading reading;
            reading.t_ms = found.back().t_ms + kQuarterMs;
            reading.counts.reserve(counter_readings().size());
            for (int c = 3; c < sqlite3_column_count(s); ++c) reading.counts.push_back(sqlite3_column_int64(s, c));
            readings->push_back(std::move(reading));
        }
        if (rc != SQLITE_DONE) Fail("cannot read");
        return found;
    }

    std::vector<std::int64_t> Hours(std::uint32_t device, std::int64_t from_ms, std::int64_t to_ms) {
        sqlite3_stmt* s = hours.get();
        Bind(s, device, from_ms, to_ms);
        std::vector<std::int64_t> times;
        int rc = 0;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) times.push_back(sqlite3_column_int64(s, 0));
        if (rc != SQLITE_DONE) Fail("cannot read");
        return times;
    }

    // The counters the writer saw break in the quarters from `from_ms` up to `to_ms`.
    std::int64_t BrokenIn(std::int64_t from_ms, std::int64_t to_ms) const {
        std::int64_t bits = 0;
        auto q = std::lower_bound(quarters.begin(), quarters.end(), from_ms,
                                  [](const QuarterMarks& m, std::int64_t t) { return m.t_ms < t; });
        for (; q != quarters.end() && q->t_ms < to_ms; ++q) bits |= q->breaks;
        return bits;
    }

    // The step from `a` to `b` added to `sums`, counter by counter. A step
    // that is no consumption, or one over quarters where the writer saw a
    // counter break, is looked at in the next finer table that holds rows
    // (a quarter's records before its minutes: only they place a break
    // inside a minute); what is no consumption there, or a break the finer
    // rows cannot place, is reported and left out.
    void Step(std::uint32_t device, int level, const Reading& a, const Reading& b, std::vector<std::int64_t>& sums,
              std::vector<bool>& broken, std::vector<CounterBreak>& breaks) {
        const std::size_t counters = sums.size();
        // At a quarter's resolution or coarser, the step holds the quarters whole.
        const std::int64_t marked = level >= kQuarter ? BrokenIn(a.t_ms, b.t_ms) : 0;
        // A period's first reading inside a quarter (none at its start): the
        // quarter's marks may be of a step before it, so its own are looked at.
        bool closer = marked != 0 || (level >= kQuarter && a.t_ms % kQuarterMs != 0);
        for (std::size_t k = 0; k < counters; ++k) {
            if (!plausible_step(b.counts[k] - a.counts[k], b.t_ms - a.t_ms)) closer = true;
        }
        if (closer && level > kRaw) {
            static constexpr int kFiner[][3] = {{-1, -1, -1}, {kRaw, -1, -1}, {kRaw, kMinute, -1}, {kQuarter, kMinute, kRaw}};
            for (int finer : kFiner[level]) {
                if (finer < 0) break;
                const std::vector<Reading> fine = Fetch(finer, device, a.t_ms, b.t_ms);
                if (fine.empty()) continue;
                std::vector<std::int64_t> part(counters, 0);
                std::vector<bool> part_broken(counters, false);
                const Reading* previous = &a;
                for (const Reading& reading : fine) {
                    Step(device, finer, *previous, reading, part, part_broken, breaks);
                    previous = &reading;
                }
                // The aggregate's last reading is the finer table's last: nothing is left between.
                for (std::size_t k = 0; k < counters; ++k) {
                    if ((marked >> k & 1) != 0 && !part_broken[k]) {
                        part[k] = 0;
                        part_broken[k] = true;
                        breaks.push_back(CounterBreak{counter_readings()[k], b.t_ms, a.counts[k], b.counts[k]});
                    }
                    sums[k] += part[k];
                    broken[k] = broken[k] || part_broken[k];
                }
                return;
            }
        }
        for (std::size_t k = 0; k < counters; ++k) {
            const std::int64_t step = b.counts[k] - a.counts[k];
            if ((marked >> k & 1) == 0 && plausible_step(step, b.t_ms - a.t_ms)) {
                sums[k] += step;
                continue;
            }
            broken[k] = true;
            breaks.push_back(CounterBreak{counter_readings()[k], b.t_ms, a.counts[k], b.counts[k]});
        }
    }

    ReadOnlyHistory db;
    Statement select[4];
    Statement marks, hours;
    std::vector<QuarterMarks> quarters;  // of the answer being made
};

EnergyHistory::EnergyHistory(const std::string& path) : impl_(std::make_unique<Impl>(path)) {}

void EnergyHistory::Rest() {
    sqlite3* db = impl_->db.handle();
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s != nullptr; s = sqlite3_next_stmt(db, s)) sqlite3_reset(s);
}

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
    const std::size_t counters = counter_readings().size();
    // The coarsest table whose rows end on every boundary: hours for the
    // site's hours, days and months (in zones a whole number of hours
    // off), quarters for demand's intervals and the zones a quarter or half
    // hour off. Its last reading before a boundary is the last reading before it.
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
    // From an hour before the first boundary's edge: the step into the first reading is one too.
    const std::int64_t after = bounds.front() - edge_ms - 1;
    std::vector<Reading> readings;
    p.quarters = p.Marks(device, after - kHourMs, bounds.back(), level == kQuarter ? &readings : nullptr);
    if (level == kQuarter) {
        readings.erase(readings.begin(), std::upper_bound(readings.begin(), readings.end(), after,
                                                          [](std::int64_t x, const Reading& r) { return x < r.t_ms; }));
    } else {
        readings = p.Fetch(level, device, after, bounds.back());
    }
    figures.periods.reserve(bounds.size() - 1);
    std::optional<std::vector<std::int64_t>> hours;  // read only for periods past the quarters' window
    const auto at_or_before = [&readings](std::int64_t t) {
        return std::upper_bound(readings.begin(), readings.end(), t,
                                [](std::int64_t x, const Reading& r) { return x < r.t_ms; });
    };
    auto quarter = p.quarters.cbegin();  // the periods' quarters, in turn
    std::vector<const Reading*> chain;
    std::vector<std::int64_t> sums(counters);
    std::vector<bool> broken(counters);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        const std::int64_t from = bounds[i], to = bounds[i + 1];
        EnergyPeriod period;
        period.start_ms = from;
        period.end_ms = to;
        period.counts.assign(counters, std::nullopt);
        period.broken.assign(counters, false);
        std::int64_t minutes = 0;
        while (quarter != p.quarters.end() && quarter->t_ms < from) ++quarter;
        for (; quarter != p.quarters.end() && quarter->t_ms < to; ++quarter) {
            minutes += __builtin_popcountll(static_cast<unsigned long long>(quarter->minutes));
        }
        if (minutes > 0) {
            period.coverage = static_cast<double>(minutes * kMinuteMs) / static_cast<double>(to - from);
        } else {
            if (!hours) hours = p.Hours(device, bounds.front(), bounds.back());
            const auto n = std::lower_bound(hours->begin(), hours->end(), to) - std::lower_bound(hours->begin(), hours->end(), from);
            period.coverage = static_cast<double>(n * kHourMs) / static_cast<double>(to - from);
        }
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
        std::optional<Reading> earliest;
        if (!starts_whole && level > kRaw) {
            for (int finer = kRaw; finer < level; ++finer) {
                std::vector<Reading> fine = p.Fetch(finer, device, from, first->t_ms);
                if (fine.empty() || fine.front().t_ms >= first->t_ms) continue;
                if (!earliest || fine.front().t_ms < earliest->t_ms) earliest = std::move(fine.front());
            }
        }
        chain.clear();
        if (earliest) chain.push_back(&*earliest);
        for (auto r = first; r != last; ++r) chain.push_back(&*r);
        if (chain.size() >= 2) {
            std::fill(sums.begin(), sums.end(), 0);
            std::fill(broken.begin(), broken.end(), false);
            for (std::size_t r = 1; r < chain.size(); ++r) p.Step(device, level, *chain[r - 1], *chain[r], sums, broken, figures.breaks);
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
    demand.intervals.reserve(energy.periods.size());
    demand.watts.reserve(energy.periods.size());
    demand.candidate.reserve(energy.periods.size());
    const std::size_t k = imported_active_counter();
    const int divisor = counter_readings()[k]->divisor;
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
    const MeterReading& imported = *counter_readings()[0];
    const MeterReading& exported = *counter_readings()[1];
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
