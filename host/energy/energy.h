// Energy and demand from the meters' own counters in the history, read-only
// while a run may be writing it (README.md, "Energy and demand"). A
// period's energy is the counter's difference across it, never power
// integrated; a counter that goes back or jumps past what a feeder can
// draw starts a new series, and the step is reported, never counted.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "host/common/site_zone.h"
#include "host/history/counter_step.h"
#include "host/history/history_schema.h"

struct MeterReading;

// The imported active energy's place among the counters (active imported
// and exported, reactive imported and exported: counter_readings() in
// host/history/history_schema.h): what demand is made of.
std::size_t imported_active_counter();

// A counter's step that is no consumption: back (a reset) or too far up
// (a replaced meter).
struct CounterBreak {
    const MeterReading* counter = nullptr;
    std::int64_t t_ms = 0;   // of the first reading after the step
    std::int64_t before = 0;  // as the meter counts (before the divisor)
    std::int64_t after = 0;
};

struct EnergyPeriod {
    std::int64_t start_ms = 0, end_ms = 0;
    // Share of the period's minutes that hold a record (hours, where the
    // minutes are no longer kept).
    double coverage = 0;
    // A reading at most `edge` before each boundary: the difference spans
    // the whole period.
    bool whole = false;
    std::vector<std::optional<std::int64_t>> counts;  // per counter; none without two readings
    std::vector<bool> broken;                         // per counter: a break inside
};

struct EnergyFigures {
    std::vector<EnergyPeriod> periods;
    std::vector<CounterBreak> breaks;
};

// Average power over an interval, from the imported active counter.
struct DemandFigures {
    int minutes = 15;
    std::vector<EnergyPeriod> intervals;
    std::vector<std::optional<double>> watts;  // per interval
    std::vector<bool> candidate;               // whole, covered to 90 %, no break: may be the peak
    std::optional<std::size_t> peak;           // index of the highest candidate, the earliest of equals
    std::vector<CounterBreak> breaks;
};

inline constexpr double kDemandCoverage = 0.9;

class EnergyHistory {
public:
    // Opens the file read-only; throws std::runtime_error.
    explicit EnergyHistory(const std::string& path);
    ~EnergyHistory();
    EnergyHistory(const EnergyHistory&) = delete;
    EnergyHistory& operator=(const EnergyHistory&) = delete;

    // The meters the file names, by data id.
    std::vector<std::pair<std::uint32_t, std::string>> Meters();
    // Energy between consecutive `bounds` (UTC ms, rising); a boundary's
    // reading is the last at or before it, no older than `edge_ms`, else
    // the period begins at its first reading.
    EnergyFigures Between(std::uint32_t device, const std::vector<std::int64_t>& bounds, std::int64_t edge_ms);
    // Ends every read it began: a history kept open between answers then
    // holds back none of the writer's checkpoints.
    void Rest();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The starts of the site's periods from the one holding `from_ms` to the
// one holding `to_ms`, and the last one's end; nothing past `most` periods.
std::optional<std::vector<std::int64_t>> site_bounds(const SiteZone& zone, SitePeriod period, std::int64_t from_ms,
                                                     std::int64_t to_ms, std::size_t most);
// Per period of the site's clock; boundary readings at most an hour old.
EnergyFigures energy_by(EnergyHistory& history, std::uint32_t device, const SiteZone& zone, SitePeriod period,
                        std::int64_t from_ms, std::int64_t to_ms);
// The intervals of `minutes` (15, 30 or 60) on the site's clock from the
// one holding `from_ms` to the one holding `to_ms`; boundary readings at
// most a tenth of the interval old. Nothing past `most` intervals.
std::optional<DemandFigures> demand_of(EnergyHistory& history, std::uint32_t device, const SiteZone& zone, int minutes,
                                       std::int64_t from_ms, std::int64_t to_ms, std::size_t most);

// One meter's line of a site's figures for a span (a day, a month).
struct SiteMeterEnergy {
    std::uint32_t device = 0;
    std::string name;
    EnergyPeriod energy;                       // over the span
    std::optional<std::int64_t> peak_start_ms;  // the month's highest 15-minute demand
    std::optional<double> peak_watts;
    std::size_t breaks = 0;
};
// Every meter the file names: energy from `start_ms` to `end_ms`, and the
// peak 15-minute demand of the site's month holding `start_ms`.
std::vector<SiteMeterEnergy> site_energy(EnergyHistory& history, const SiteZone& zone, std::int64_t start_ms,
                                         std::int64_t end_ms);

// `qmxhost report --month`: each meter's energy imported and exported over
// the site's month `month` ("2026-03"), its peak 15-minute demand and when
// its interval began (site time), the coverage and the counter breaks; CSV
// with a header for people, or JSON lines. Throws std::invalid_argument
// for another month's text, std::runtime_error for a file it cannot read.
void write_month_report(const std::string& path, const SiteZone& zone, const std::string& month, bool csv,
                        std::ostream& out);
