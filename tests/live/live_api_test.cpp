// The HTTP API against a real simulated meter: what it shows must be what
// the meter served, and what it refuses must never reach the meter.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/live/live_rig.h"
#include "tests/live/raw_client.h"
#include "tests/support/meter_oracle.h"
#include "tests/support/quiet_test.h"
#include "tests/support/sim_meter.h"

namespace {

double served_value(const oracle::RegisterBank& bank, int high_register, int divisor) {
    const auto bits = static_cast<std::uint32_t>(bank.Get(high_register)) << 16 | bank.Get(high_register + 1);
    return static_cast<double>(static_cast<std::int32_t>(bits)) / divisor;
}

}  // namespace

// The plug-in's own lines are kept off the output unless a test fails.
class LiveApiReads : public QuietTest {};
class LiveApiHistory : public QuietTest {};
class LiveApiEvents : public QuietTest {};
class LiveApiWrites : public QuietTest {};

// --- What the API shows -------------------------------------------------------

TEST_F(LiveApiReads, TheDeviceListNamesEachMeterWithItsFreshnessAndHealth) {
    LiveRig rig;
    rig.DeviceAfter(2);
    const auto answer = rig.Get("/api/devices");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers.find("Content-Type")->second, "application/json");
    const Json::Value& devices = answer.json["devices"];
    ASSERT_EQ(devices.size(), 1u);
    const DeviceConfig& configured = rig.config().lines.front().devices.front();
    EXPECT_EQ(devices[0]["name"].asString(), configured.name);
    EXPECT_EQ(devices[0]["slave"].asInt(), configured.slave);
    EXPECT_EQ(devices[0]["data_id"].asUInt(), configured.data_id);
    EXPECT_FALSE(devices[0]["freshness"]["stale"].asBool());
    EXPECT_LT(devices[0]["freshness"]["age_s"].asDouble(), 60.0);
    EXPECT_GE(devices[0]["health"]["completed"].asInt(), 2);
    EXPECT_EQ(devices[0]["health"]["failed"].asInt(), 0);
    // 9600 8N1: 118 request and answer characters and 8 silences of 3.5, 10 bits each.
    EXPECT_NEAR(devices[0]["health"]["wire_limit_ms"].asDouble(), 245.8, 0.05);
    EXPECT_TRUE(answer.json["writes_allowed"].asBool());
}

TEST_F(LiveApiReads, EachQuantityIsWhatTheMeterServedInThatCycle) {
    LiveRig rig;
    const Json::Value detail = rig.DeviceAfter(3);
    const auto banks = served_banks(rig.sim_log());
    const int cycle = detail["cycle"].asInt();
    ASSERT_EQ(banks.count(cycle), 1u) << "cycle " << cycle;
    const oracle::RegisterBank& bank = banks.at(cycle);
    std::map<std::string, Json::Value> shown;
    for (const Json::Value& q : detail["quantities"]) shown[q["name"].asString()] = q;
    ASSERT_EQ(shown.size(), oracle::snapshot_members().size());
    for (const oracle::Member& member : oracle::snapshot_members()) {
        ASSERT_EQ(shown.count(member.name), 1u) << member.name;
        const Json::Value& q = shown[member.name];
        const double expected = served_value(bank, member.high_register, member.divisor);
        EXPECT_DOUBLE_EQ(q["value"].asDouble(), expected) << member.name;
        const int decimals = static_cast<int>(std::lround(std::log10(member.divisor)));
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, expected);
        EXPECT_EQ(q["text"].asString(), text) << member.name;
        EXPECT_EQ(q["decimals"].asInt(), decimals) << member.name;
        // The controller's snapshot has every member too, as whole numbers.
        EXPECT_TRUE(detail["snapshot"][member.name].isNumeric()) << member.name;
    }
}

// /metrics in base units, worked out here from the registers the simulator
// served: one quantity of each unit, the energy as a counter in joules
// beside the meter's own watt-hours.
TEST_F(LiveApiReads, MetricsGiveEachQuantityInBaseUnitsAsTheMeterServedIt) {
    LiveRig rig;
    rig.DeviceAfter(2);
    const LiveRig::Answer scraped = rig.Get("/metrics");
    ASSERT_EQ(scraped.status, 200);
    EXPECT_EQ(scraped.headers.find("Content-Type")->second, "text/plain; version=0.0.4; charset=utf-8");
    std::map<std::string, double> samples;  // "name{labels}" -> value
    std::istringstream lines(scraped.body);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
    }
    const std::string meter = R"(meter="1",name="panel-1 main meter",slave="1",line="rig line")";
    struct Expected {
        std::string sample;
        int high_register;
        int divisor;        // counts per meter unit
        double multiplier;  // base units per meter unit
    };
    const std::vector<Expected> expected{
        {"qv5810_phase_voltage_volts{" + meter + R"(,phase="1"})", 1806, 10, 1},
        {"qv5810_current_amperes{" + meter + R"(,phase="3"})", 1796, 1000, 1},
        {"qv5810_line_voltage_volts{" + meter + R"(,pair="23"})", 1802, 10, 1},
        {"qv5810_frequency_hertz{" + meter + "}", 1812, 100, 1},
        {"qv5810_active_power_watts{" + meter + R"(,phase="2"})", 1824, 1000, 1000},
        {"qv5810_total_reactive_power_volt_amperes_reactive{" + meter + "}", 1816, 1000, 1000},
        {"qv5810_power_factor_ratio{" + meter + R"(,phase="1"})", 1840, 1000, 1},
        {"qv5810_active_energy_imported_joules_total{" + meter + "}", 1880, 1, 3600},
        {"qv5810_active_energy_imported_watthours{" + meter + "}", 1880, 1, 1},
    };
    // Some cycle the meter served gives every value at once, to the last
    // digit: 231.7 V, never 231.70000000000002.
    bool one_cycle = false;
    for (const auto& [cycle, bank] : served_banks(rig.sim_log())) {
        one_cycle = std::all_of(expected.begin(), expected.end(), [&, &bank = bank](const Expected& e) {
            const auto at = samples.find(e.sample);
            return at != samples.end() &&
                   at->second == served_value(bank, e.high_register, 1) * e.multiplier / e.divisor;
        });
        if (one_cycle) break;
    }
    EXPECT_TRUE(one_cycle) << scraped.body;
    EXPECT_EQ(samples.count("qv5810_meter_fresh{" + meter + "}"), 1u);
    EXPECT_GE(samples["qv5810_cycles_total{" + meter + R"(,outcome="completed"})"], 2);
    EXPECT_EQ(samples["qv5810_request_latency_seconds_count{" + meter + "}"],
              samples["qv5810_request_latency_seconds_bucket{" + meter + R"(,le="+Inf"})"]);
}

TEST_F(LiveApiReads, MetricsAreOffOpenOrBehindTheReadsLogin) {
    for (const auto& [metrics, status] : {std::pair{MetricsAccess::off, 404}, {MetricsAccess::on, 401},
                                         {MetricsAccess::open, 200}}) {
        const std::string users = temp_path("users");
        std::ofstream(users) << token_line("prometheus", new_token()) << "\n";
        LiveRigOptions options;
        options.users_file = users;
        options.reads_need_login = true;
        options.metrics = metrics;
        options.poll_at_once = false;
        LiveRig rig(options);
        EXPECT_EQ(rig.Get("/metrics").status, status);
        EXPECT_EQ(rig.Get("/api/devices").status, 401);  // the rest stays closed
        std::remove(users.c_str());
    }
}

// Before the first cycle the line counts from the start: late once three
// intervals and the allowance passed; healthy once it polls; no login asked.
TEST_F(LiveApiReads, HealthIsEveryLinesLastCycleAgeAndTurnsGoodWhenItPolls) {
    const std::string users = temp_path("users");
    std::ofstream(users) << token_line("prometheus", new_token()) << "\n";
    LiveRigOptions options;
    options.users_file = users;
    options.reads_need_login = true;
    options.poll_at_once = false;
    LiveRig rig(options);
    const auto until = [&](int status) {
        LiveRig::Answer answer = rig.Get("/healthz");
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
             answer.status != status && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            answer = rig.Get("/healthz");
        }
        return answer;
    };
    const LiveRig::Answer late = until(503);
    ASSERT_EQ(late.status, 503);
    EXPECT_FALSE(late.json["healthy"].asBool());
    EXPECT_GT(late.json["lines"][0]["last_cycle_s"].asDouble(), 3 * options.interval_seconds + HttpApi::kHealthAllowanceSeconds);
    EXPECT_EQ(late.json["history"].asString(), "off");
    EXPECT_EQ(late.json["forwarder"].asString(), "off");
    rig.StartPolling();
    const LiveRig::Answer polled = until(200);
    ASSERT_EQ(polled.status, 200);
    EXPECT_LE(polled.json["lines"][0]["last_cycle_s"].asDouble(), 3 * options.interval_seconds + HttpApi::kHealthAllowanceSeconds);
    std::remove(users.c_str());
}

TEST_F(LiveApiReads, TheTwentySevenRulesWithTheirLevelsThresholdsAndOutcomes) {
    LiveRigOptions options;
    options.sim_args = {"--overvoltage-at", "2", "--overvoltage-cycles", "1000"};
    LiveRig rig(options);
    const Json::Value detail = rig.DeviceAfter(3);
    const oracle::RegisterBank bank = served_banks(rig.sim_log()).at(detail["cycle"].asInt());
    const Json::Value& alarms = detail["alarms"];
    ASSERT_EQ(alarms.size(), oracle::rules().size());
    int up = 0;
    for (std::size_t i = 0; i < oracle::rules().size(); ++i) {
        const oracle::Rule& rule = oracle::rules()[i];
        const Json::Value& shown = alarms[static_cast<Json::ArrayIndex>(i)];
        ASSERT_EQ(shown["key"].asString(), rule.key);
        EXPECT_EQ(shown["text"].asString(), rule.text);
        const Threshold& threshold = rig.config().lines.front().devices.front().thresholds.at(rule.key);
        EXPECT_EQ(shown["level"].asInt(), threshold.level) << rule.key;
        EXPECT_DOUBLE_EQ(shown["threshold"].asDouble(), threshold.value) << rule.key;
        const double value = served_value(bank, rule.high_register, rule.divisor);
        EXPECT_DOUBLE_EQ(shown["value"].asDouble(), value) << rule.key;
        const bool expected_up = rule.high ? value > threshold.value : value < threshold.value;
        EXPECT_EQ(shown["state"].asString(), expected_up ? "up" : "normal") << rule.key << " at " << value;
        up += expected_up ? 1 : 0;
    }
    EXPECT_GT(up, 0) << "the over-voltage episode raises rules";
}

TEST_F(LiveApiReads, UnknownPathsBadIdsAndWrongMethodsAreRefusedWithAMessage) {
    LiveRig rig;
    for (const char* path : {"/nothing", "/api", "/api/nothing", "/api/devices/1/nothing", "/api/devices/1/history/x",
                             "/api/devices/7", "/api/devices/7/history"}) {
        const auto answer = rig.Get(path);
        EXPECT_EQ(answer.status, 404) << path;
        EXPECT_FALSE(answer.json["error"].asString().empty()) << path;
    }
    for (const char* path : {"/api/devices/abc", "/api/devices/-1", "/api/devices/4294967296", "/api/devices/1x",
                             "/api/devices/%31%00"}) {
        const auto answer = rig.Get(path);
        EXPECT_EQ(answer.status, 400) << path;
        EXPECT_NE(answer.json["error"].asString().find("data id"), std::string::npos) << path;
    }
    const auto posted = rig.Post("/api/devices", "{}");
    EXPECT_EQ(posted.status, 405);
    EXPECT_EQ(posted.headers.find("Allow")->second, "GET");
    const auto read_registers = rig.Get("/api/devices/1/registers");
    EXPECT_EQ(read_registers.status, 405);
    EXPECT_EQ(read_registers.headers.find("Allow")->second, "POST");
}

TEST_F(LiveApiReads, ThePageAndItsChartLibraryAreServedFromTheBenchHost) {
    LiveRig rig;
    const auto page = rig.Get("/");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.find("Content-Type")->second, "text/html");
    // Only the page's own scripts run: no inline code, nothing from elsewhere.
    EXPECT_NE(page.headers.find("Content-Security-Policy")->second.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(page.body.find("http://"), std::string::npos);
    EXPECT_EQ(page.body.find("https://"), std::string::npos);
    const auto chart = rig.Get("/chart.js");
    ASSERT_EQ(chart.status, 200);
    EXPECT_NE(chart.body.find("Chart.js v"), std::string::npos);
    EXPECT_EQ(rig.Get("/live.js").status, 200);
    EXPECT_EQ(rig.Get("/live.css").status, 200);
}

// --- The history ---------------------------------------------------------------

TEST_F(LiveApiHistory, RowsAreDecodedFromTheStoredRecordsWithinTheRange) {
    LiveRigOptions options;
    options.history = true;
    LiveRig rig(options);
    rig.DeviceAfter(6);
    const auto all = rig.Get("/api/devices/1/history?limit=4");
    ASSERT_EQ(all.status, 200) << all.body;
    const Json::Value& rows = all.json["rows"];
    ASSERT_EQ(rows.size(), 4u);
    std::set<double> served;
    for (const auto& [cycle, bank] : served_banks(rig.sim_log())) {
        served.insert(served_value(bank, oracle::kPhaseVoltage1, 10));
    }
    // Exactly the view's columns, as the file itself lists them.
    std::vector<std::string> columns;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(rig.history_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* info = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('readings')", -1, &info, nullptr);
    while (sqlite3_step(info) == SQLITE_ROW) columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info, 0)));
    sqlite3_finalize(info);
    sqlite3_close(db);
    std::sort(columns.begin(), columns.end());
    EXPECT_GT(columns.size(), 38u);
    EXPECT_EQ(rows[0].getMemberNames(), columns);
    for (Json::ArrayIndex i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["device"].asInt(), 1);
        EXPECT_EQ(served.count(rows[i]["phase_voltage_1_v"].asDouble()), 1u) << rows[i]["phase_voltage_1_v"];
        if (i > 0) {
            EXPECT_LT(rows[i - 1]["utc"].asString(), rows[i]["utc"].asString());
        }
    }
    // From the second row on, to the third: two rows.
    const std::string from = rows[1]["utc"].asString(), to = rows[2]["utc"].asString();
    const auto range = rig.Get("/api/devices/1/history?from=" + from + "&to=" + to);
    ASSERT_EQ(range.status, 200) << range.body;
    ASSERT_EQ(range.json["rows"].size(), 2u);
    EXPECT_EQ(range.json["rows"][0]["utc"].asString(), from);
    // A time without milliseconds or zone means the whole second, in UTC.
    const auto coarse = rig.Get("/api/devices/1/history?from=2000-01-01T00:00:00&to=2000-01-01T00:00:00Z");
    ASSERT_EQ(coarse.status, 200);
    EXPECT_EQ(coarse.json["rows"].size(), 0u);
    // The minutes' aggregates hold what the records hold.
    const auto minutes = rig.Get("/api/devices/1/history?resolution=minute");
    ASSERT_EQ(minutes.status, 200) << minutes.body;
    const Json::Value& minute = minutes.json["rows"][minutes.json["rows"].size() - 1];
    EXPECT_GE(minute["samples"].asInt(), 1);
    // Read again: the meter has served more cycles since.
    std::set<double> served_by_now;
    for (const auto& [cycle, bank] : served_banks(rig.sim_log())) {
        served_by_now.insert(served_value(bank, oracle::kPhaseVoltage1, 10));
    }
    EXPECT_EQ(served_by_now.count(minute["phase_voltage_1_v_max"].asDouble()), 1u) << minute;
    EXPECT_LE(minute["phase_voltage_1_v_min"].asDouble(), minute["phase_voltage_1_v_mean"].asDouble());
    // A chart's rows: the quantities it draws beside the keys, nothing else.
    const auto drawn = rig.Get("/api/devices/1/history?resolution=minute&quantities=phase_voltage_1_v,frequency_hz");
    ASSERT_EQ(drawn.status, 200) << drawn.body;
    EXPECT_EQ(drawn.json["rows"][0].getMemberNames(),
              (std::vector<std::string>{"device", "frequency_hz_max", "frequency_hz_mean", "frequency_hz_min", "local_time",
                                        "phase_voltage_1_v_max", "phase_voltage_1_v_mean", "phase_voltage_1_v_min", "samples",
                                        "utc"}));
    // And the page's download: the same rows as CSV, with units in the header.
    const auto csv = rig.Get("/api/devices/1/history.csv?limit=4");
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.headers.find("Content-Type")->second, "text/csv; charset=utf-8");
    EXPECT_NE(csv.headers.find("Content-Disposition")->second.find("attachment"), std::string::npos);
    EXPECT_NE(csv.body.find(",phase 1 voltage (V),"), std::string::npos) << csv.body.substr(0, 300);
    EXPECT_EQ(std::count(csv.body.begin(), csv.body.end(), '\n'), 5);
}

TEST_F(LiveApiHistory, BadQueriesAreRefusedAndNoHistoryIsSaid) {
    LiveRigOptions options;
    options.history = true;
    LiveRig with(options);
    for (const char* query : {"?from=yesterday", "?to=2026-13", "?limit=0", "?limit=5001", "?limit=ten", "?max=3",
                              "?limit=1&limit=2", "?from=2026-01-02T00:00:00Z&to=2026-01-01T00:00:00Z",
                              "?from=2026-01-02T00:00:00.12345Z", "?from=2026-13-45T99:99:99Z",
                              "?to=2026-02-01T24:00:00Z", "?resolution=second", "?to=2026-04-31T00:00:00Z",
                              "?quantities=phase_voltage_1_v,voltage", "?quantities=", "?quantities=frequency_hz,"}) {
        const auto answer = with.Get(std::string("/api/devices/1/history") + query);
        EXPECT_EQ(answer.status, 400) << query;
        EXPECT_FALSE(answer.json["error"].asString().empty()) << query;
    }
    LiveRig without;
    const auto answer = without.Get("/api/devices/1/history");
    EXPECT_EQ(answer.status, 404);
    EXPECT_NE(answer.json["error"].asString().find("--history"), std::string::npos);
}

// --- The event stream -------------------------------------------------------------

TEST_F(LiveApiEvents, TheStreamCarriesCyclesAndTheAlarmsRisingAndClearing) {
    LiveRigOptions options;
    options.sim_args = {"--overvoltage-at", "4", "--overvoltage-cycles", "3"};
    options.poll_at_once = false;
    LiveRig rig(options);
    // Polling starts once the stream is open, so the episode cannot pass before it.
    std::thread start([&rig] {
        for (int i = 0; i < 3000 && rig.events().clients() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        rig.StartPolling();
    });
    httplib::Client client("127.0.0.1", rig.port());
    client.set_read_timeout(30, 0);
    std::string stream;
    bool rose = false, cleared = false, cycled = false;
    client.Get("/api/events", [&](const char* data, std::size_t length) {
        stream.append(data, length);
        for (std::size_t end; (end = stream.find("\n\n")) != std::string::npos; stream.erase(0, end + 2)) {
            const std::string frame = stream.substr(0, end);
            const auto data_at = frame.find("data: ");
            if (data_at == std::string::npos) continue;
            const Json::Value event = parse_json(frame.substr(data_at + 6)).value_or(Json::Value());
            if (frame.find("event: cycle\n") != std::string::npos) {
                cycled = true;
                // The episode is over by cycle 7: long past it, stop listening.
                if (event["cycle"].asInt() > 20) return false;
            }
            if (frame.find("event: alarm\n") != std::string::npos && event["key"].asString() == "110200010010") {
                (event["up"].asBool() ? rose : cleared) = true;
                EXPECT_EQ(event["text"].asString(), "001#低压配电屏A相电压过高");
            }
        }
        return !(rose && cleared);
    });
    start.join();
    EXPECT_TRUE(cycled);
    EXPECT_TRUE(rose);
    EXPECT_TRUE(cleared);
}

TEST_F(LiveApiEvents, StreamsAreBoundedAndStuckClientsDelayNoCycle) {
    LiveRig rig;
    const int before = rig.DeviceAfter(1)["health"]["completed"].asInt();
    std::vector<std::unique_ptr<RawClient>> streams;
    for (int i = 0; i < 8; ++i) {
        streams.push_back(std::make_unique<RawClient>(rig.port()));
        ASSERT_TRUE(streams.back()->Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_EQ(streams.back()->StatusLine().substr(0, 12), "HTTP/1.1 200") << i;
    }
    RawClient one_too_many(rig.port());
    ASSERT_TRUE(one_too_many.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(one_too_many.StatusLine().substr(0, 12), "HTTP/1.1 503");
    // That was one address's share: another's stream still opens.
    RawClient elsewhere(rig.port(), "127.0.0.2");
    ASSERT_TRUE(elsewhere.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(elsewhere.StatusLine().substr(0, 12), "HTTP/1.1 200");
    // Eight streams nobody reads and a request that never ends: polling goes on.
    RawClient half(rig.port());
    ASSERT_TRUE(half.Send("GET /api/devi"));
    EXPECT_GE(rig.DeviceAfter(before + 20)["health"]["completed"].asInt(), before + 20);
    EXPECT_EQ(rig.Get("/api/devices").status, 200);
}

// --- Writes ---------------------------------------------------------------------------

TEST_F(LiveApiWrites, AWriteIsCarriedOutAndAnsweredWithItsConfirmation) {
    LiveRig rig;
    rig.DeviceAfter(1);
    const auto single = rig.Post("/api/devices/1/registers", R"({"address": 256, "values": [4660]})");
    ASSERT_EQ(single.status, 200) << single.body;
    EXPECT_TRUE(single.json["confirmed"].asBool());
    EXPECT_EQ(single.json["status"].asInt(), 1);
    EXPECT_EQ(single.json["outcome"].asString(), "confirmed");
    const auto multiple =
        rig.Post("/api/devices/1/registers", R"({"address": 300, "values": [1, 2, 65535]})", "application/json; charset=utf-8");
    ASSERT_EQ(multiple.status, 200) << multiple.body;
    EXPECT_TRUE(multiple.json["confirmed"].asBool());
    const auto wrote = wrote_events(rig.sim_log());
    ASSERT_EQ(wrote.size(), 2u);
    EXPECT_EQ(wrote[0]["function"].asInt(), 6);
    EXPECT_EQ(wrote[0]["address"].asInt(), 256);
    EXPECT_EQ(wrote[0]["values"][0].asInt(), 4660);
    EXPECT_EQ(wrote[1]["function"].asInt(), 16);
    EXPECT_EQ(wrote[1]["address"].asInt(), 300);
    EXPECT_EQ(wrote[1]["values"][2].asInt(), 65535);
    const Json::Value last = rig.Get("/api/devices/1").json["write"]["last"];
    EXPECT_EQ(last["address"].asInt(), 300);
    EXPECT_EQ(last["outcome"].asString(), "confirmed");
}

TEST_F(LiveApiWrites, AWriteTheMeterRefusesIsNotConfirmed) {
    LiveRig rig;
    rig.DeviceAfter(1);
    // The meter holds registers 0 to 1999: the second register does not exist.
    const auto answer = rig.Post("/api/devices/1/registers", R"({"address": 1999, "values": [1, 2]})");
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_FALSE(answer.json["confirmed"].asBool());
    EXPECT_NE(answer.json["status"].asInt(), 1);
    EXPECT_EQ(answer.json["outcome"].asString(), answer.json["status"].asInt() == 3 ? "not confirmed" : "no answer");
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
}

TEST_F(LiveApiWrites, RefusedWritesNeverReachTheMeter) {
    LiveRig rig;
    rig.DeviceAfter(1);
    const std::string path = "/api/devices/1/registers";
    struct Case {
        std::string body, type;
        int status;
    };
    const std::string values_124 = [] {
        std::string list = "0";
        for (int i = 1; i < 124; ++i) list += ",0";
        return list;
    }();
    const std::vector<Case> cases = {
        {"address=256&values=4660", "application/x-www-form-urlencoded", 415},
        {R"({"address": 256, "values": [4660]})", "text/plain", 415},
        {R"({"address": 256, "values": [4660]})", "multipart/form-data; boundary=x", 415},
        {"{", "application/json", 400},
        {"[256, 4660]", "application/json", 400},
        {R"({"address": 65536, "values": [1]})", "application/json", 400},
        {R"({"address": -1, "values": [1]})", "application/json", 400},
        {R"({"address": 256.5, "values": [1]})", "application/json", 400},
        {R"({"address": "256", "values": [1]})", "application/json", 400},
        {R"({"address": 256, "values": []})", "application/json", 400},
        {R"({"address": 256, "values": [65536]})", "application/json", 400},
        {R"({"address": 256, "values": [true]})", "application/json", 400},
        {R"({"address": 65535, "values": [1, 2]})", "application/json", 400},
        {R"({"address": 256, "values": [1], "slave": 2})", "application/json", 400},
        {R"({"address": 256, "address": 257, "values": [1]})", "application/json", 400},
        {R"({"address": 0, "values": [)" + values_124 + "]}", "application/json", 400},
        {R"({"address": 0, "values": [)" + std::string(5000, ' ') + "1]}", "application/json", 413},
    };
    for (const Case& c : cases) {
        const auto answer = rig.Post(path, c.body, c.type);
        EXPECT_EQ(answer.status, c.status) << c.body.substr(0, 60) << " as " << c.type;
        EXPECT_FALSE(answer.json["error"].asString().empty()) << c.body.substr(0, 60);
    }
    EXPECT_EQ(rig.Post("/api/devices/7/registers", R"({"address": 256, "values": [1]})").status, 404);
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
}

TEST_F(LiveApiWrites, ABodyInChunksOrWithoutALengthIsRefusedUnread) {
    LiveRig rig;
    rig.DeviceAfter(1);
    // Chunks the library would gather to no limit: refused before any is read.
    RawClient chunked(rig.port());
    ASSERT_TRUE(chunked.Send("POST /api/devices/1/registers HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Transfer-Encoding: chunked\r\n\r\n1000\r\n" + std::string(4096, ' ') + "\r\n"));
    EXPECT_EQ(chunked.StatusLine().substr(0, 12), "HTTP/1.1 411");
    // No length: answered at once, not after the read times out.
    RawClient unmeasured(rig.port());
    ASSERT_TRUE(unmeasured.Send("POST /api/devices/1/registers HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n\r\n"));
    EXPECT_EQ(unmeasured.StatusLine().substr(0, 12), "HTTP/1.1 411");
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
}

TEST_F(LiveApiWrites, WithoutAllowWritesNothingIsWritten) {
    LiveRigOptions options;
    options.allow_writes = false;
    LiveRig rig(options);
    rig.DeviceAfter(1);
    const auto answer = rig.Post("/api/devices/1/registers", R"({"address": 256, "values": [4660]})");
    EXPECT_EQ(answer.status, 403);
    EXPECT_NE(answer.json["error"].asString().find("--allow-writes"), std::string::npos);
    EXPECT_FALSE(rig.Get("/api/devices").json["writes_allowed"].asBool());
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
}
