// The site's clock: periods on the site's calendar across the clock
// changes, worked out here from the calendar, and the history's local
// times in the site's zone whatever the reader's own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "host/common/clock.h"
#include "host/common/site_zone.h"
#include "host/config/settings_table.h"
#include "host/history/history_db.h"
#include "host/history/history_reader.h"

namespace {

std::int64_t utc(const std::string& text) { return *utc_ms_from_text(text); }

}  // namespace

TEST(SiteZone, DaysWeeksAndMonthsFollowTheSitesCalendarAcrossTheClockChanges) {
    const SiteZone berlin("Europe/Berlin");
    // The last Sunday of March: 23 hours, from 23:00 UTC (CET) to 22:00 UTC (CEST).
    const std::int64_t march_29 = berlin.PeriodStart(SitePeriod::day, utc("2026-03-29T12:00:00Z"));
    EXPECT_EQ(march_29, utc("2026-03-28T23:00:00Z"));
    EXPECT_EQ(berlin.PeriodAfter(SitePeriod::day, march_29), utc("2026-03-29T22:00:00Z"));
    EXPECT_EQ(berlin.DayStart("2026-03-29"), march_29);
    // The last Sunday of October: 25 hours.
    const std::int64_t october_25 = *berlin.DayStart("2026-10-25");
    EXPECT_EQ(october_25, utc("2026-10-24T22:00:00Z"));
    EXPECT_EQ(berlin.PeriodAfter(SitePeriod::day, october_25) - october_25, 25 * 3600000LL);
    // 02:30 twice that night: each its own hour.
    EXPECT_EQ(berlin.PeriodStart(SitePeriod::hour, utc("2026-10-25T00:30:00Z")), utc("2026-10-25T00:00:00Z"));
    EXPECT_EQ(berlin.PeriodStart(SitePeriod::hour, utc("2026-10-25T01:30:00Z")), utc("2026-10-25T01:00:00Z"));
    EXPECT_EQ(berlin.LocalText(utc("2026-10-25T00:30:00Z")), "2026-10-25 02:30:00");
    EXPECT_EQ(berlin.LocalText(utc("2026-10-25T01:30:00Z")), "2026-10-25 02:30:00");
    // ISO weeks from Monday; months from the 1st, local midnight.
    EXPECT_EQ(berlin.PeriodStart(SitePeriod::week, utc("2026-03-29T12:00:00Z")), utc("2026-03-22T23:00:00Z"));
    EXPECT_EQ(berlin.PeriodAfter(SitePeriod::week, utc("2026-03-22T23:00:00Z")), utc("2026-03-29T22:00:00Z"));
    EXPECT_EQ(berlin.PeriodStart(SitePeriod::month, utc("2026-03-31T22:30:00Z")), utc("2026-03-31T22:00:00Z"));
    EXPECT_EQ(berlin.PeriodAfter(SitePeriod::month, utc("2026-02-28T23:00:00Z")), utc("2026-03-31T22:00:00Z"));
    EXPECT_EQ(berlin.PeriodAfter(SitePeriod::month, utc("2026-11-30T23:00:00Z")), utc("2026-12-31T23:00:00Z"));
    // A zone half an hour off UTC: its hours and quarter hours begin at :30 and :45 UTC.
    const SiteZone kolkata("Asia/Kolkata");
    EXPECT_EQ(kolkata.PeriodStart(SitePeriod::hour, utc("2026-01-01T00:10:00Z")), utc("2025-12-31T23:30:00Z"));
    EXPECT_EQ(kolkata.IntervalStart(15, utc("2026-01-01T00:10:00Z")), utc("2026-01-01T00:00:00Z"));
    EXPECT_EQ(kolkata.IntervalStart(60, utc("2026-01-01T00:10:00Z")), utc("2025-12-31T23:30:00Z"));
    EXPECT_FALSE(berlin.DayStart("2026-02-30"));
    EXPECT_FALSE(berlin.DayStart("2026-3-29"));
}

TEST(SiteZone, AZoneTheDatabaseDoesNotKnowIsRefusedAtStartNamingTheSetting) {
    SettingsBuilder builder;
    CommandLineValues values;
    for (const Setting& row : settings_table()) {
        if (row.option != nullptr && std::string(row.option) == "--site-timezone") values[&row] = {"Europe/Berlln"};
    }
    ASSERT_EQ(values.size(), 1u);
    std::string refusal;
    try {
        builder.ReadCommandLine(values);
        builder.Finish();
    } catch (const SettingsError& e) {
        refusal = e.what();
    }
    EXPECT_NE(refusal.find("site-timezone"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("Europe/Berlln"), std::string::npos) << refusal;
    EXPECT_EQ(refusal.find('\n'), std::string::npos) << refusal;
    // None given: the system's zone, or UTC; always one the database knows.
    EXPECT_EQ(site_zone_problem(SettingsBuilder().Finish().site_timezone), "");
}

TEST(SiteZone, TheHistorysLocalTimesAreTheSitesWhateverTheReadersZone) {
    const std::string path = testing::TempDir() + "qv5810_site_zone_" + std::to_string(getpid()) + ".db";
    const std::int64_t t = utc("2026-03-29T01:30:00Z");  // 03:30 in Berlin, just after the change
    {
        HistoryDb history(path);
        history.Add(history_row(t, 7, 5156, std::vector<unsigned char>(167, 0)));
        ASSERT_EQ(history.Commit(), HistoryDb::Outcome::stored);
    }
    HistoryQuery query;
    query.zone = SiteZone("Europe/Berlin");
    EXPECT_EQ(history_rows_json(path, query)[0]["local_time"].asString(), "2026-03-29 03:30:00");
    query.zone = SiteZone("America/New_York");
    std::ostringstream csv;
    export_history(path, query, ExportFormat::csv, csv);
    EXPECT_NE(csv.str().find(",2026-03-28 21:30:00,"), std::string::npos) << csv.str();
    query.resolution = Resolution::hour;
    std::ostringstream jsonl;
    export_history(path, query, ExportFormat::jsonl, jsonl);
    EXPECT_NE(jsonl.str().find("\"local_time\":\"2026-03-28 21:00:00\""), std::string::npos) << jsonl.str();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}
