// Energy and demand from the counters: a synthetic March in Berlin written
// through the history's own writer (its first 13 days not polled, a
// 23-hour day, a missing day, a reset, a replaced meter, one heavy quarter
// hour) and three days around the October change, every expected figure worked out here from the readings
// written, on a calendar of the test's own.
#include <gtest/gtest.h>

#include <json/reader.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <map>
#include <sstream>

#include "host/common/clock.h"
#include "host/energy/energy.h"
#include "host/live/http_api.h"
#include "host/history/history_db.h"
#include "tests/support/meter_oracle.h"

namespace {

constexpr std::int64_t kMinute = 60000, kHour = 3600000;

std::int64_t utc(const std::string& text) { return *utc_ms_from_text(text); }

struct Written {
    std::int64_t t = 0;
    std::int64_t imported = 0, exported = 0;
};

std::vector<unsigned char> record_of(std::uint32_t device, const Written& w) {
    oracle::RegisterBank bank;
    bank.SetPair(1814, 6000);  // 6 kW shown all along, whatever the counters say
    bank.SetPair(1880, static_cast<std::int32_t>(w.imported));
    bank.SetPair(1882, static_cast<std::int32_t>(w.exported));
    std::vector<unsigned char> record(oracle::kRecordSize, 0);
    for (int i = 0; i < 4; ++i) record[static_cast<std::size_t>(i)] = static_cast<unsigned char>(device >> (8 * i));
    const auto area = oracle::expected_register_area(bank);
    std::copy(area.begin(), area.end(), record.begin() + 4);
    return record;
}

// Berlin's local midnight of March or October 2026 (from day 1 to 32 of
// the month), in UTC: CET is UTC+1, CEST UTC+2; the clocks change at
// 01:00 UTC on 29 March and 25 October.
std::int64_t berlin_midnight(int month, int day) {
    const std::int64_t utc_midnight =
        utc(month == 3 ? "2026-03-01T00:00:00Z" : "2026-10-01T00:00:00Z") + std::int64_t{day - 1} * 24 * kHour;
    const bool summer = month == 3 ? day >= 30 : day <= 25;
    return utc_midnight - (summer ? 2 : 1) * kHour;
}

// What a step from one reading to the next may be: the test's own bound.
bool consumption(std::int64_t step, std::int64_t ms) { return step >= 0 && step <= 5000000 * ms / kHour + 10; }

struct Expected {
    std::optional<std::int64_t> imported, exported;
};

// The period's energy from the readings written: the last reading at or
// before its start, at most an hour old (else its first reading), to its
// last; steps that are no consumption left out.
Expected expected_energy(const std::vector<Written>& readings, std::int64_t from, std::int64_t to) {
    const Written* previous = nullptr;
    Expected sums;
    int taken = 0;
    for (const Written& r : readings) {
        if (r.t <= from) {
            previous = r.t >= from - kHour ? &r : nullptr;
            continue;
        }
        if (r.t > to) break;
        if (previous != nullptr) {
            const std::int64_t ms = r.t - previous->t;
            sums.imported = sums.imported.value_or(0) + (consumption(r.imported - previous->imported, ms) ? r.imported - previous->imported : 0);
            sums.exported = sums.exported.value_or(0) + (consumption(r.exported - previous->exported, ms) ? r.exported - previous->exported : 0);
        }
        previous = &r;
        ++taken;
    }
    if (taken == 0) return {};
    return sums;
}

struct Peak {
    std::int64_t start = 0;
    double watts = -1;
};

// Every quarter hour of the span: both boundary readings at most 90 s old,
// 14 of its 15 minutes with a reading, no step that is no consumption.
Peak expected_peak(const std::vector<Written>& readings, std::int64_t from, std::int64_t to) {
    Peak peak;
    const auto after = [&readings](std::int64_t t) {  // the first reading later than t
        return std::upper_bound(readings.begin(), readings.end(), t, [](std::int64_t x, const Written& r) { return x < r.t; });
    };
    for (std::int64_t start = from; start < to; start += 15 * kMinute) {
        const std::int64_t end = start + 15 * kMinute;
        const auto first = after(start), last = after(end);
        if (first == readings.begin() || std::prev(first)->t < start - 90000) continue;
        if (last == first || std::prev(last)->t < end - 90000) continue;
        int minutes = 0;
        bool broken = false;
        for (auto r = first; r != last; ++r) {
            minutes += r->t < end ? 1 : 0;
            broken = broken || !consumption(r->imported - std::prev(r)->imported, r->t - std::prev(r)->t);
        }
        if (minutes < 14 || broken) continue;
        const double watts = static_cast<double>(std::prev(last)->imported - std::prev(first)->imported) * 4;
        if (watts > peak.watts) peak = Peak{start, watts};
    }
    return peak;
}

class EnergyHistoryTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        path_ = new std::string(testing::TempDir() + "qv5810_energy_" + std::to_string(getpid()) + ".db");
        march_ = new std::vector<Written>;
        october_ = new std::vector<Written>;
        HistoryDb history(*path_);
        history.NameMeter(1, "feeder 1");
        history.NameMeter(2, "feeder 2");
        // March from the 14th: a reading a minute, 30 s into it; the 16th missing; a
        // reset to 0 on the 20th, a replaced meter on the 25th; on the
        // 17th a quarter hour of 120 kW.
        Written w{0, 5000000, 1000};
        for (std::int64_t t = berlin_midnight(3, 14) - 2 * kHour + 30000; t < berlin_midnight(3, 32) + kHour; t += kMinute) {
            const std::int64_t minute = (t - 30000) / kMinute;
            w.t = t;
            w.imported += t >= utc("2026-03-17T09:15:00Z") && t < utc("2026-03-17T09:30:00Z") ? 2000 : 50 + minute % 97;
            w.exported += minute % 3 == 0 ? 5 : 0;
            if (t >= berlin_midnight(3, 16) && t < berlin_midnight(3, 17)) continue;
            if (t == utc("2026-03-20T08:00:30Z")) w.imported = 0;
            if (t == utc("2026-03-25T12:00:30Z")) w.imported += 100000000;
            march_->push_back(w);
            history.Add(history_row(t, 1, 5156, record_of(1, w)));
            if (minute % 1440 == 0) {
                ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
            }
        }
        // October: 1 Wh a second, 24 to 26 October local.
        Written o{0, 0, 0};
        for (std::int64_t t = berlin_midnight(10, 24) - kHour; t <= berlin_midnight(10, 27); t += kMinute) {
            o.t = t;
            o.imported += 60;
            october_->push_back(o);
            history.Add(history_row(t, 2, 5156, record_of(2, o)));
        }
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    }
    static void TearDownTestSuite() {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((*path_ + suffix).c_str());
        delete path_;
        delete march_;
        delete october_;
    }

    void EachDaysEnergyIsItsCountersDifferenceOnTheSitesCalendarWithoutResetsOrJumps();
    void DemandIsTheCountersStepPerQuarterHourAndThePeakTheHighestWholeOne();
    void TheApiAndTheReportAnswerWhatTheCountersSay();

    static std::string* path_;
    static std::vector<Written>* march_;
    static std::vector<Written>* october_;
    const SiteZone berlin_{"Europe/Berlin"};
};

std::string* EnergyHistoryTest::path_ = nullptr;
std::vector<Written>* EnergyHistoryTest::march_ = nullptr;
std::vector<Written>* EnergyHistoryTest::october_ = nullptr;

Json::Value parsed(const std::string& body) {
    Json::Value value;
    std::istringstream in(body);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << body;
    return value;
}

std::optional<std::int64_t> json_count(const Json::Value& value) {
    return value.isNull() ? std::nullopt : std::optional<std::int64_t>(value.asInt64());
}

}  // namespace

// One test: the month is written once, in simulated time, for the three parts.
TEST_F(EnergyHistoryTest, EnergyDemandTheApiAndTheReportAreWhatTheCountersWrittenSay) {
    EachDaysEnergyIsItsCountersDifferenceOnTheSitesCalendarWithoutResetsOrJumps();
    DemandIsTheCountersStepPerQuarterHourAndThePeakTheHighestWholeOne();
    TheApiAndTheReportAnswerWhatTheCountersSay();
}

void EnergyHistoryTest::EachDaysEnergyIsItsCountersDifferenceOnTheSitesCalendarWithoutResetsOrJumps() {
    EnergyHistory history(*path_);
    const EnergyFigures march = energy_by(history, 1, berlin_, SitePeriod::day, berlin_midnight(3, 1), berlin_midnight(3, 32) - 1);
    ASSERT_EQ(march.periods.size(), 31u);
    for (int day = 1; day <= 31; ++day) {
        const EnergyPeriod& period = march.periods[static_cast<std::size_t>(day - 1)];
        const std::int64_t from = berlin_midnight(3, day), to = berlin_midnight(3, day + 1);
        ASSERT_EQ(period.start_ms, from) << "March " << day;
        ASSERT_EQ(period.end_ms, to) << "March " << day;
        const Expected expected = expected_energy(*march_, from, to);
        EXPECT_EQ(period.counts[0], expected.imported) << "March " << day;
        EXPECT_EQ(period.counts[1], expected.exported) << "March " << day;
        const auto polled = std::count_if(march_->begin(), march_->end(), [&](const Written& r) { return r.t >= from && r.t < to; });
        EXPECT_NEAR(period.coverage, static_cast<double>(polled * kMinute) / static_cast<double>(to - from), 1e-9) << "March " << day;
    }
    EXPECT_EQ(march.periods[28].end_ms - march.periods[28].start_ms, 23 * kHour);
    EXPECT_FALSE(march.periods[15].counts[0]);  // the missing day: no energy, not 0
    // The reset and the replaced meter, each once, with the readings around it.
    ASSERT_EQ(march.breaks.size(), 2u);
    // By the end of the minute of the step: the raw rows of March are gone, the minutes kept.
    EXPECT_GE(march.breaks[0].t_ms, utc("2026-03-20T08:00:30Z"));
    EXPECT_LE(march.breaks[0].t_ms, utc("2026-03-20T08:01:00Z"));
    EXPECT_EQ(march.breaks[0].after, 0);
    EXPECT_GE(march.breaks[1].t_ms, utc("2026-03-25T12:00:30Z"));
    EXPECT_LE(march.breaks[1].t_ms, utc("2026-03-25T12:01:00Z"));
    EXPECT_GT(march.breaks[1].after - march.breaks[1].before, 100000000 - 1);
    // The week and the month hold what their days do, the missing day aside.
    const EnergyFigures months = energy_by(history, 1, berlin_, SitePeriod::month, berlin_midnight(3, 15), berlin_midnight(3, 15));
    ASSERT_EQ(months.periods.size(), 1u);
    EXPECT_EQ(months.periods[0].counts[0], expected_energy(*march_, berlin_midnight(3, 1), berlin_midnight(3, 32)).imported);
    // October's long day: 25 hours of 3,600 Wh.
    const EnergyFigures october = energy_by(history, 2, berlin_, SitePeriod::day, berlin_midnight(10, 24), berlin_midnight(10, 26));
    ASSERT_EQ(october.periods.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const Expected expected = expected_energy(*october_, october.periods[i].start_ms, october.periods[i].end_ms);
        EXPECT_EQ(october.periods[i].counts[0], expected.imported) << i;
    }
    EXPECT_EQ(october.periods[1].counts[0], 25 * 3600);
    const EnergyFigures hours = energy_by(history, 2, berlin_, SitePeriod::hour, berlin_midnight(10, 25), berlin_midnight(10, 26) - 1);
    EXPECT_EQ(hours.periods.size(), 25u);
}

void EnergyHistoryTest::DemandIsTheCountersStepPerQuarterHourAndThePeakTheHighestWholeOne() {
    EnergyHistory history(*path_);
    const auto demand = demand_of(history, 1, berlin_, 15, berlin_midnight(3, 1), berlin_midnight(3, 32) - 1, 3000);
    ASSERT_TRUE(demand);
    EXPECT_EQ(demand->intervals.size(), 31u * 96 - 4);
    const Peak expected = expected_peak(*march_, berlin_midnight(3, 1), berlin_midnight(3, 32));
    ASSERT_TRUE(demand->peak);
    EXPECT_EQ(demand->intervals[*demand->peak].start_ms, expected.start);
    EXPECT_DOUBLE_EQ(*demand->watts[*demand->peak], expected.watts);
    // The quarter hours around the reset and the missing day are no candidates.
    for (std::size_t i = 0; i < demand->intervals.size(); ++i) {
        const EnergyPeriod& interval = demand->intervals[i];
        if (interval.start_ms < utc("2026-03-20T08:00:30Z") && interval.end_ms >= utc("2026-03-20T08:00:30Z")) {
            EXPECT_FALSE(demand->candidate[i]);
        }
        if (interval.start_ms >= berlin_midnight(3, 16) && interval.start_ms < berlin_midnight(3, 17)) {
            EXPECT_FALSE(demand->candidate[i]);
            EXPECT_FALSE(demand->watts[i]);
        }
    }
    EXPECT_FALSE(demand_of(history, 1, berlin_, 15, berlin_midnight(3, 1), berlin_midnight(3, 1) + 40 * 24 * kHour, 3000));
}

void EnergyHistoryTest::TheApiAndTheReportAnswerWhatTheCountersSay() {
    const std::vector<LineInfo> no_lines;
    SteadyClock clock;
    EventHub events;
    LiveState live(no_lines, clock, events);
    WriteInbox inbox;
    Access access;
    ApiOptions options;
    options.history_path = *path_;
    options.zone = berlin_;
    HttpApi api(live, inbox, options, access);
    const auto get = [&api](const std::string& path, std::multimap<std::string, std::string> params) {
        ApiRequest request;
        request.method = "GET";
        request.path = path;
        request.host = "localhost";
        request.params = std::move(params);
        EXPECT_TRUE(api.Heavy(request)) << path;
        return api.Handle(request);
    };
    const ApiResponse days = get("/api/devices/1/energy", {{"by", "day"}, {"from", "2026-03-28"}, {"to", "2026-03-30"}});
    ASSERT_EQ(days.status, 200) << days.body;
    const Json::Value energy = parsed(days.body);
    ASSERT_EQ(energy["periods"].size(), 3u) << days.body;
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
        const int day = 28 + static_cast<int>(i);
        EXPECT_EQ(energy["periods"][i]["start"].asString(), utc_text(berlin_midnight(3, day)));
        EXPECT_EQ(json_count(energy["periods"][i]["active_energy_pos_wh"]),
                  expected_energy(*march_, berlin_midnight(3, day), berlin_midnight(3, day + 1)).imported);
    }
    EXPECT_EQ(energy["periods"][1]["hours"].asDouble(), 23);
    const ApiResponse demand = get("/api/devices/1/demand", {{"from", "2026-03-17"}, {"to", "2026-03-17"}});
    ASSERT_EQ(demand.status, 200) << demand.body;
    const Peak peak = expected_peak(*march_, berlin_midnight(3, 17), berlin_midnight(3, 18));
    EXPECT_EQ(parsed(demand.body)["peak"]["start"].asString(), utc_text(peak.start));
    EXPECT_DOUBLE_EQ(parsed(demand.body)["peak"]["demand_w"].asDouble(), peak.watts);
    const ApiResponse site = get("/api/site/energy", {{"period", "2026-03"}});
    ASSERT_EQ(site.status, 200) << site.body;
    const Json::Value meters = parsed(site.body)["meters"];
    ASSERT_EQ(meters.size(), 2u);
    const Expected month = expected_energy(*march_, berlin_midnight(3, 1), berlin_midnight(3, 32));
    const Peak month_peak = expected_peak(*march_, berlin_midnight(3, 1), berlin_midnight(3, 32));
    EXPECT_EQ(json_count(meters[0]["active_energy_pos_wh"]), month.imported);
    EXPECT_EQ(json_count(meters[0]["active_energy_neg_wh"]), month.exported);
    EXPECT_EQ(meters[0]["peak_start"].asString(), utc_text(month_peak.start));
    EXPECT_FALSE(json_count(meters[1]["active_energy_pos_wh"]));
    EXPECT_EQ(json_count(parsed(site.body)["total"]["active_energy_pos_wh"]), month.imported);
    // The histories the API keeps open between answers hold back no checkpoint of the writer's.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path_->c_str(), &writer), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(writer, "CREATE TABLE probe (a); DROP TABLE probe", nullptr, nullptr, nullptr), SQLITE_OK);
    int wal_frames = -1, moved = -1;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &wal_frames, &moved), SQLITE_OK)
        << sqlite3_errmsg(writer);
    EXPECT_EQ(wal_frames, 0);
    sqlite3_close(writer);
    // Bounded: a year of hours, an unknown step, a meter the history does not hold.
    EXPECT_EQ(get("/api/devices/1/energy", {{"by", "hour"}, {"from", "2025-01-01"}, {"to", "2026-01-01"}}).status, 400);
    EXPECT_EQ(get("/api/devices/1/energy", {{"by", "year"}}).status, 400);
    EXPECT_EQ(get("/api/devices/9/demand", {{"from", "2026-03-17"}}).status, 404);

    std::ostringstream csv;
    write_month_report(*path_, berlin_, "2026-03", true, csv);
    std::istringstream lines(csv.str());
    std::string header, line;
    std::getline(lines, header);
    EXPECT_NE(header.find("active energy imported (Wh)"), std::string::npos) << header;
    std::getline(lines, line);
    // Coverage: the month's minutes with a reading, of its 743 hours.
    const auto minutes_polled = std::count_if(march_->begin(), march_->end(), [](const Written& r) {
        return r.t >= berlin_midnight(3, 1) && r.t < berlin_midnight(3, 32);
    });
    std::ostringstream wanted;
    // The peak's start in Berlin's time: 17 March is winter time, UTC+1.
    const std::int64_t local = month_peak.start + kHour;
    wanted << "1,feeder 1,2026-03," << *month.imported << ',' << *month.exported << ',' << month_peak.watts << ".0,"
           << utc_text(local).substr(0, 10) << ' ' << utc_text(local).substr(11, 8) << ',' << std::fixed
           << std::setprecision(3) << static_cast<double>(minutes_polled) / (31 * 24 - 1) / 60 << ",2";
    EXPECT_EQ(line, wanted.str());
}

namespace {

// An hour of readings every 10 s at 3.6 kW with a reset inside a minute,
// the counter set back on its old count 10 s later: the minutes show a
// plausible step over it, only the records themselves the two breaks.
std::vector<Written> hidden_reset(std::int64_t hour) {
    std::vector<Written> readings;
    Written w{0, 9000000, 0};
    for (std::int64_t t = hour - kMinute + 5000; t < hour + kHour; t += 10000) {
        w.t = t;
        w.imported += 10;
        Written shown = w;
        if (t == hour + 20 * kMinute + 25000) shown.imported = 3;
        readings.push_back(shown);
    }
    return readings;
}

std::int64_t hour_energy(const std::string& path, std::int64_t hour, std::size_t& breaks) {
    EnergyHistory history(path);
    const EnergyFigures figures = history.Between(1, {hour, hour + kHour}, kHour);
    breaks = figures.breaks.size();
    return figures.periods.at(0).counts[0].value_or(-1);
}

}  // namespace

// Where the records are kept the two steps are found and left out; where
// they are gone, the quarter hour that held them is (its minutes cannot say
// which of their steps broke); a file of the version before, brought up to
// this one, finds what its records still show.
TEST(EnergyMarks, AResetInsideAMinuteIsLeftOutWithTheRecordsAndWithoutThem) {
    const std::int64_t kept_hour = (utc_now_ms() / kHour - 48) * kHour, gone_hour = utc("2026-03-10T00:00:00Z");
    for (const std::int64_t hour : {kept_hour, gone_hour}) {
        const std::string path = testing::TempDir() + "qv5810_marks_" + std::to_string(getpid()) + ".db";
        const std::vector<Written> readings = hidden_reset(hour);
        {
            HistoryDb history(path);
            for (const Written& r : readings) history.Add(history_row(r.t, 1, 5156, record_of(1, r)));
            ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
            // Retention deletes the records past their window a commit later.
            history.Add(history_row(utc_now_ms(), 2, 5156, record_of(2, Written{})));
            ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
        }
        std::size_t breaks = 0;
        if (hour == kept_hour) {
            EXPECT_EQ(hour_energy(path, hour, breaks), *expected_energy(readings, hour, hour + kHour).imported);
            EXPECT_EQ(breaks, 2u);
            // The file as the version before left it, then opened to write.
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, "DROP TABLE quarter; PRAGMA user_version = 4;", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
            { HistoryDb reopened(path); }
            EXPECT_EQ(hour_energy(path, hour, breaks), *expected_energy(readings, hour, hour + kHour).imported);
            EXPECT_EQ(breaks, 2u);
        } else {
            // 10 Wh a step, 90 steps a quarter hour: the second quarter left out.
            EXPECT_EQ(hour_energy(path, hour, breaks), 3 * 900);
            EXPECT_EQ(breaks, 1u);
        }
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
}
