// The settings: misspelt keys, values the port cannot take and two meters
// on one address are refused, naming the file and key or the option; the
// file and the command line are read alike, the command line winning.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/config/settings_table.h"
#include "host/config/write_request.h"
#include "host/config/endpoints.h"

namespace {

std::string refusal(const std::string& text) {
    try {
        parse_settings_file("bench.json", text);
    } catch (const SettingsError& e) {
        return e.what();
    }
    return "";
}

// The options of the command line, by the name the table gives them.
CommandLineValues options(std::initializer_list<std::pair<const char*, const char*>> given) {
    CommandLineValues values;
    for (const auto& [name, text] : given) {
        for (const Setting& row : settings_table()) {
            const auto first = [](const std::string& names) { return names.substr(0, names.find(',')); };
            if (row.option != nullptr && first(row.option) == first(name)) values[&row].push_back(text);
        }
    }
    return values;
}

HostSettings merged(const std::string& file, const CommandLineValues& command_line) {
    SettingsBuilder builder;
    builder.ReadFile("bench.json", file);
    builder.ReadCommandLine(command_line);
    return builder.Finish();
}

std::string merge_refusal(const std::string& file, const CommandLineValues& command_line) {
    try {
        merged(file, command_line);
    } catch (const SettingsError& e) {
        return e.what();
    }
    return "";
}

bool mentions(const std::string& message, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (message.find(word) == std::string::npos) return false;
    }
    return true;
}

}  // namespace

TEST(ConfigKeys, UnknownKeysAreRefusedWithFileAndKey) {
    const std::string device = refusal(R"({"devices": [{"slvae": 3}]})");
    EXPECT_TRUE(mentions(device, {"bench.json", "devices[0].slvae", "unknown key"})) << device;
    const std::string line = refusal(R"({"line": {"bauds": 19200}, "devices": [{}]})");
    EXPECT_TRUE(mentions(line, {"bench.json", "line.bauds", "unknown key"})) << line;
    const std::string top = refusal(R"({"device": [{}], "devices": [{}]})");
    EXPECT_TRUE(mentions(top, {"bench.json", "device", "unknown key"})) << top;
    const std::string threshold =
        refusal(R"({"devices": [{"thresholds": {"110200010010": {"level": 1, "valeu": 3}}}]})");
    EXPECT_TRUE(mentions(threshold, {"110200010010.valeu", "unknown key"})) << threshold;
}

TEST(ConfigValues, TextsAreBoundedUtf8LevelsTheControllersAndEveryRefusalOneLineNamingTheFile) {
    const std::string longest(128, 'n');
    EXPECT_EQ(refusal(R"({"devices": [{"name": ")" + longest + R"("}]})"), "");
    EXPECT_TRUE(mentions(refusal(R"({"devices": [{"name": ")" + longest + R"(n"}]})"),
                         {"bench.json", "devices[0].name", "129 bytes", "at most 128"}));
    EXPECT_TRUE(mentions(refusal(R"({"line": {"name": ")" + longest + R"(n"}, "devices": [{}]})"), {"line.name", "at most 128"}));
    EXPECT_EQ(refusal("{\"devices\": [{\"name\": \"Z\xC3\xA4hler\"}]}"), "");  // UTF-8 as it should be
    for (const char* broken : {"\xC3", "\xFF", "\xED\xA0\x80", "a\\tb"}) {  // cut short, no UTF-8, a surrogate, a tab
        const std::string message = refusal(std::string("{\"devices\": [{\"name\": \"") + broken + "\"}]}");
        EXPECT_TRUE(mentions(message, {"devices[0].name", "UTF-8"})) << message;
    }
    EXPECT_TRUE(mentions(merge_refusal(R"({"devices": [{}]})", options({{"--mqtt-manufacturer", "\xFF"}})),
                         {"--mqtt-manufacturer", "UTF-8"}));
    EXPECT_EQ(refusal(R"({"devices": [{"thresholds": {"110200010010": {"level": 2, "value": 1}}}]})"), "");
    EXPECT_EQ(refusal(R"({"devices": [{"thresholds": {"110200010010": {"level": -1, "value": 1}}}]})"), "");
    for (const char* level : {"3", "99", "-2"}) {
        EXPECT_TRUE(mentions(refusal(std::string(R"({"devices": [{"thresholds": {"110200010010": {"level": )") + level +
                                     R"(, "value": 1}}}]})"),
                             {"110200010010.level", "from -1 to 2"}))
            << level;
    }

    for (const std::string& text : {std::string(R"({"devices": [{}])") + "\n\n  x}", std::string("{\n  \"a\": [1 2]}"),
                                    std::string(2000, '[')}) {  // the last past JsonCpp's depth
        const std::string message = refusal(text);
        EXPECT_EQ(message.rfind("bench.json", 0), 0u) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    EXPECT_TRUE(mentions(refusal("{\n  \"a\": [1 2]}"), {"bench.json:2:"}));
    try {
        load_settings_file(testing::TempDir());
        ADD_FAILURE() << "a directory read as a configuration";
    } catch (const SettingsError& e) {
        EXPECT_TRUE(mentions(e.what(), {"is a directory"})) << e.what();
    }
}

TEST(ConfigKeys, AKeyGivenTwiceIsRefused) {
    EXPECT_FALSE(refusal(R"({"devices": [{"slave": 1, "slave": 2}]})").empty());
}

TEST(ConfigDuplicates, TwoMetersOnOneSlaveAddressAreRefused) {
    const std::string message = refusal(R"({"devices": [{"slave": 4, "data_id": 1}, {"slave": 4, "data_id": 2}]})");
    EXPECT_TRUE(mentions(message, {"bench.json", "devices[1].slave", "slave address 4"})) << message;
}

TEST(ConfigDuplicates, ASettingThatNamesAnotherSlaveIsRefused) {
    const std::string message = refusal(R"({"devices": [{"slave": 1, "setting": {"modbus": {"slave": 7}}}]})");
    EXPECT_TRUE(mentions(message, {"bench.json", "devices[0].setting.modbus.slave", "differs"})) << message;
    EXPECT_TRUE(refusal(R"({"devices": [{"slave": 7, "setting": {"modbus": {"slave": 7}}}]})").empty());
}

TEST(ConfigDuplicates, TwoMetersUnderOneDataIdAreRefused) {
    const std::string message = refusal(R"({"devices": [{"slave": 1, "data_id": 9}, {"slave": 2, "data_id": 9}]})");
    EXPECT_TRUE(mentions(message, {"bench.json", "devices[1].data_id", "data id 9"})) << message;
    // Left out, data ids count from 1: the second meter's default clashes with the first's 2.
    EXPECT_FALSE(refusal(R"({"devices": [{"slave": 1, "data_id": 2}, {"slave": 2}]})").empty());
}

TEST(LineSettingsCheck, SpeedsThePortCannotRunAreRefused) {
    for (const char* baud : {"12345", "-5", "14400", "0"}) {
        const std::string message =
            refusal(std::string(R"({"line": {"baud": )") + baud + R"(}, "devices": [{}]})");
        EXPECT_TRUE(mentions(message, {"bench.json", "line"})) << baud << ": " << message;
    }
    EXPECT_EQ(refusal(R"({"line": {"baud": 115200}, "devices": [{}]})"), "");
}

TEST(LineSettingsCheck, EverySettingIsRangeChecked) {
    const char* bad[] = {
        R"("data_bits": 9)",         R"("stop_bits": 3)",     R"("parity": "X")",
        R"("response_timeout_ms": 0)", R"("byte_timeout_ms": -1)", R"("retries": 11)",
        R"("rts": "sideways")",      R"("rs485": "yes")",     R"("delay_ms": 1.5)",
        R"("baud": "9600")",
    };
    for (const char* setting : bad) {
        EXPECT_FALSE(refusal(std::string(R"({"line": {)") + setting + R"(}, "devices": [{}]})").empty()) << setting;
    }
}

TEST(LineSettingsCheck, DefaultsAreTheDocumentedOnes) {
    const HostSettings config = parse_settings_file("bench.json", R"({"devices": [{}]})");
    EXPECT_EQ(config.lines.front().line.baud, 9600);
    EXPECT_EQ(config.lines.front().line.parity, 'N');
    EXPECT_EQ(config.lines.front().line.data_bits, 8);
    EXPECT_EQ(config.lines.front().line.stop_bits, 1);
    EXPECT_EQ(config.lines.front().line.response_timeout_ms, 1000);
    EXPECT_EQ(config.lines.front().line.byte_timeout_ms, 500);
    EXPECT_EQ(config.lines.front().line.retries, 2);
    EXPECT_FALSE(config.lines.front().line.rs485);
    EXPECT_EQ(config.lines.front().line.rts, Rts::none);
    EXPECT_EQ(config.lines.front().line.delay_ms, 0);
    EXPECT_FALSE(config.lines.front().line.rts_delay_us.has_value());
    EXPECT_EQ(config.interval_seconds, 1.0);
    EXPECT_EQ(config.mqtt.prefix, "qv5810/");
}

TEST(LineSettingsCheck, TheExampleConfigurationLoads) {
    EXPECT_NO_THROW(load_settings_file(QV5810_TEST_CONFIG));
}

namespace {
std::string with_line(const std::string& line) { return R"({"line": {)" + line + R"(}, "devices": [{}]})"; }
}  // namespace

TEST(TcpLine, AnAddressIsHostColonPortWithIPv6InBrackets) {
    for (const char* good : {"gw.example:502", "10.0.0.5:1502", "[fe80::1]:502", "gw:65535"}) {
        EXPECT_EQ(refusal(with_line(std::string(R"("tcp": ")") + good + "\"")), "") << good;
    }
    for (const char* bad : {"gw", "gw:", ":502", "gw:0", "gw:65536", "gw:5o2", "::1:502", "[::1]", "g w:502", "[]:502"}) {
        const std::string message = refusal(with_line(std::string(R"("tcp": ")") + bad + "\""));
        EXPECT_TRUE(mentions(message, {"bench.json", "line", "tcp"})) << bad << ": " << message;
    }
}

TEST(TcpLine, TheHostAndPortAreHandedOnAsLibmodbusTakesThem) {
    const TcpAddress v6 = parse_tcp_address("[fe80::1]:502");
    EXPECT_EQ(v6.host, "fe80::1");
    EXPECT_EQ(v6.port, "502");
    // A port reads as every number does; getaddrinfo wants it in decimal.
    EXPECT_EQ(parse_tcp_address("gw:0x1F6").port, "502");
    EXPECT_EQ(parse_tcp_address("gw:0502").port, "502");
}

TEST(TcpLine, ASerialSettingBesideTheAddressIsRefused) {
    for (const char* serial : {R"("port": "/dev/ttyUSB0")", R"("baud": 9600)", R"("parity": "E")", R"("rs485": true)",
                               R"("rts": "up")", R"("stop_bits": 2)"}) {
        const std::string message = refusal(with_line(std::string(R"("tcp": "gw:502", )") + serial));
        EXPECT_TRUE(mentions(message, {"bench.json", "a serial setting", "Modbus TCP"})) << serial << ": " << message;
    }
    // What a request over TCP needs is no serial setting.
    const HostSettings config = parse_settings_file(
        "bench.json", with_line(R"("tcp": "gw:502", "response_timeout_ms": 300, "retries": 4, "delay_ms": 5)"));
    EXPECT_EQ(config.lines.front().line.Name(), "gw:502");
    EXPECT_EQ(config.lines.front().line.retries, 4);
    EXPECT_TRUE(config.lines.front().line.port.empty());
}

TEST(SettingsMerge, FileAndCommandLineReadAlikeAndTheCommandLineWins) {
    const std::string file = R"({"interval": 0.5, "cycles": 7, "line": {"retries": 4}, "output": "quiet",
                                 "history": "/tmp/h.db", "devices": [{}]})";
    const HostSettings from_file = merged(file, {});
    EXPECT_EQ(from_file.interval_seconds, 0.5);
    EXPECT_EQ(from_file.cycles, 7);
    EXPECT_EQ(from_file.lines.front().line.retries, 4);
    EXPECT_EQ(from_file.output.verbosity, Verbosity::quiet);
    EXPECT_EQ(from_file.history.file, "/tmp/h.db");
    const HostSettings both = merged(file, options({{"--interval", "2"}, {"--retries", "0x3"}, {"--verbose", "true"}}));
    EXPECT_EQ(both.interval_seconds, 2.0);
    EXPECT_EQ(both.lines.front().line.retries, 3);
    EXPECT_EQ(both.cycles, 7);
    EXPECT_EQ(both.output.verbosity, Verbosity::verbose);
    // One range for both: what the file may not hold, the option may not either.
    EXPECT_NE(merge_refusal(R"({"line": {"rts_delay_us": -1}, "devices": [{}]})", {}).find("line.rts_delay_us"),
              std::string::npos);
    EXPECT_NE(merge_refusal(R"({"devices": [{}]})", options({{"--rts-delay-us", "-1"}})).find("--rts-delay-us"),
              std::string::npos);
}

TEST(SettingsMerge, RulesBetweenSettingsHoldAfterTheMerge) {
    const std::string serial_file = R"({"line": {"baud": 19200, "port": "/dev/ttyUSB0"}, "devices": [{}]})";
    const std::string tcp_file = R"({"line": {"tcp": "gw:502"}, "devices": [{}]})";
    // The command line's transport replaces the file's, serial settings and all.
    EXPECT_EQ(merge_refusal(serial_file, options({{"--tcp", "gw:502"}})), "");
    EXPECT_EQ(merge_refusal(tcp_file, options({{"--port", "/dev/ttyUSB1"}})), "");
    // A serial setting beside the address, from either, is refused.
    const std::string beside = merge_refusal(tcp_file, options({{"--baud", "19200"}}));
    EXPECT_TRUE(mentions(beside, {"--baud", "a serial setting", "Modbus TCP"})) << beside;
    EXPECT_FALSE(merge_refusal(R"({"devices": [{}]})", options({{"--tcp", "sim"}, {"--emulate-line", "true"}})).empty());
    EXPECT_FALSE(merge_refusal(R"({"devices": [{}]})", options({{"--tcp", "gw:502"}, {"--port", "/dev/x"}})).empty());
    // Broker options without a broker, from the file or the command line, do nothing: refused.
    EXPECT_TRUE(mentions(merge_refusal(R"({"mqtt": {"prefix": "x/"}, "devices": [{}]})", {}), {"mqtt.prefix"}));
    EXPECT_TRUE(mentions(merge_refusal(R"({"devices": [{}]})", options({{"--mqtt-queue", "5"}})), {"--mqtt-queue"}));
    EXPECT_EQ(merge_refusal(R"({"mqtt": {"url": "mqtt://b"}, "devices": [{}]})", options({{"--mqtt-queue", "5"}})), "");
    EXPECT_TRUE(mentions(merge_refusal(R"({"allow_writes": true, "devices": [{}]})", {}), {"allow_writes", "--http"}));
    EXPECT_EQ(merge_refusal(R"({"allow_writes": true, "devices": [{}]})", options({{"--http", "0"}})), "");
    // Writes from beyond this machine need a login.
    const std::string open_writes = R"({"allow_writes": true, "http": "0.0.0.0:8080", "devices": [{}]})";
    EXPECT_TRUE(mentions(merge_refusal(open_writes, {}), {"allow_writes", "--http-users"}));
    EXPECT_EQ(merge_refusal(open_writes, options({{"--http-users", QV5810_TEST_CONFIG}})), "");
    EXPECT_TRUE(mentions(merge_refusal(R"({"devices": [{}]})", options({{"--http", "0"}, {"--http-login", "all"}})),
                         {"--http-login", "--http-users"}));
    EXPECT_TRUE(mentions(merge_refusal(R"({"devices": [{}]})", options({{"--http", "0"}, {"--http-tls-cert", QV5810_TEST_CONFIG}})),
                         {"--http-tls-cert", "both the certificate and its key"}));
    // Modbus TCP has no login: writes there only on loopback.
    const std::string modbus_writes = R"({"allow_writes": true, "modbus_server": "0.0.0.0:1502", "devices": [{}]})";
    EXPECT_TRUE(mentions(merge_refusal(modbus_writes, {}), {"allow_writes", "Modbus server", "no login"}));
    EXPECT_EQ(merge_refusal(modbus_writes, options({{"--modbus-server", "1502"}})), "");
    EXPECT_EQ(merge_refusal(R"({"modbus_server": "0.0.0.0:1502", "devices": [{}]})", {}), "");
    // --slave moves the first meter; onto another meter's address it is refused.
    EXPECT_EQ(merged(R"({"devices": [{"slave": 1}]})", options({{"--slave", "9"}})).lines.front().devices[0].slave, 9);
    const std::string clash = merge_refusal(R"({"devices": [{"slave": 1}, {"slave": 2}]})", options({{"--slave", "2"}}));
    EXPECT_EQ(clash.rfind("--slave: ", 0), 0u) << clash;  // the command line's doing, not the file's
    // A number no meter key could hold is refused with its key, not by the JSON library.
    EXPECT_TRUE(mentions(refusal(R"({"devices": [{"slave": 1e30}]})"), {"devices[0].slave", "whole number"}));
    EXPECT_TRUE(mentions(refusal(R"({"cycles": 1e30, "devices": [{}]})"), {"cycles", "from 0 to 100000000"}));
}

TEST(SettingsMerge, ACentralHistoryNeedsAHistoryAndNoPasswordAndTheSiteIdHasOneSpelling) {
    const std::string uri = "postgresql://gateway@db.example.net/fleet?sslmode=verify-full";
    EXPECT_TRUE(mentions(merge_refusal(R"({"devices": [{}]})", options({{"--history-forward", uri.c_str()}})),
                         {"--history-forward", "--history"}));
    EXPECT_EQ(merged(R"({"history": "/tmp/h.db", "devices": [{}]})", options({{"--history-forward", uri.c_str()}})).history.forward,
              uri);
    for (const char* carrying : {"postgresql://gateway:secret@db/fleet", "postgresql://gateway@db/fleet?password=secret"}) {
        const std::string refused = merge_refusal(R"({"history": "/tmp/h.db", "devices": [{}]})",
                                                  options({{"--history-forward", carrying}}));
        EXPECT_TRUE(mentions(refused, {"--history-forward", "password", "PGPASSWORD"})) << refused;
        EXPECT_EQ(refused.find("secret"), std::string::npos) << refused;
    }
    EXPECT_TRUE(mentions(merge_refusal(R"({"history": "/tmp/h.db", "history_forward": "mysql://db/x", "devices": [{}]})", {}),
                         {"history_forward", "postgresql://"}));
    // The old spelling still names the site; both at once are refused.
    const std::string broker = R"({"mqtt": {"url": "mqtt://b", "site": "old"}, "devices": [{}]})";
    EXPECT_EQ(merged(broker, {}).site, "old");
    EXPECT_EQ(merged(R"({"site": "new", "devices": [{}]})", {}).site, "new");
    EXPECT_TRUE(mentions(merge_refusal(broker, options({{"--site", "new"}})), {"mqtt.site", "--site", "keep one"}));
}

TEST(SettingsTable, EveryRowIsReachableAndItsDefaultPassesItsOwnCheck) {
    for (const Setting& row : settings_table()) {
        EXPECT_TRUE(row.key != nullptr || row.option != nullptr) << row.help;
        const std::string fallback = default_text(row);
        if (fallback.empty() || row.option == nullptr) continue;
        const std::string refused = merge_refusal(R"({"devices": [{}]})", options({{row.option, fallback.c_str()}}));
        // Alone, a row may only be refused for wanting the broker or the page it tunes.
        EXPECT_TRUE(refused.empty() || refused.find("without a broker") != std::string::npos ||
                    refused.find("without the page") != std::string::npos)
            << refused;
    }
}

TEST(WriteLimits, TheEdgesOfTheMapAndOfAWriteAreTakenAndOnePastThemRefused) {
    std::string problem;
    EXPECT_EQ(parse_write_request(R"({"address": 65535, "values": [65535]})", problem),
              (std::vector<std::uint16_t>{65535, 65535})) << problem;
    EXPECT_TRUE(parse_write_request(R"({"address": 65535, "values": [1, 2]})", problem).empty());
    EXPECT_TRUE(parse_write_request(R"({"address": 65536, "values": [1]})", problem).empty());
    EXPECT_TRUE(parse_write_request(R"({"address": 1, "values": [65536]})", problem).empty());
    // Strict JSON only: what JsonCpp would take beside it is refused.
    for (const char* loose : {R"({"address": 1, "values": [2] /* note */})", R"({"address": 1, "values": [2,]})",
                              R"({"address": 01, "values": [2]})", R"({"address": 1, "values": [+2]})"}) {
        EXPECT_TRUE(parse_write_request(loose, problem).empty()) << loose;
    }
    std::string values = "0";
    for (int i = 1; i < 123; ++i) values += ",0";
    EXPECT_EQ(parse_write_request(R"({"address": 0, "values": [)" + values + "]}", problem).size(), 124u) << problem;
    EXPECT_TRUE(parse_write_request(R"({"address": 0, "values": [)" + values + ",0]}", problem).empty());
    // The command line's form has the same edges.
    EXPECT_EQ(parse_write_words("65535=0xFFFF", problem).size(), 2u) << problem;
    EXPECT_TRUE(parse_write_words("65535=1,2", problem).empty());
    EXPECT_TRUE(parse_write_words("1=65536", problem).empty());
    EXPECT_EQ(parse_write_words("0=" + values, problem).size(), 124u) << problem;
    EXPECT_TRUE(parse_write_words("0=" + values + ",0", problem).empty());
}

TEST(ConfigLines, EachLineIsReadAsTheOneLineFormWithItsOwnMeters) {
    const HostSettings site = parse_settings_file("bench.json", R"({"lines": [
        {"port": "/dev/ttyUSB0", "baud": 19200, "devices": [{"slave": 1, "data_id": 1}, {"slave": 2, "data_id": 2}]},
        {"tcp": "gw:502", "retries": 0, "devices": [{"slave": 1, "data_id": 3}]}]})");
    ASSERT_EQ(site.lines.size(), 2u);
    EXPECT_EQ(site.lines[0].line.baud, 19200);
    EXPECT_EQ(site.lines[0].line.retries, 2);  // the default, not the other line's
    EXPECT_EQ(site.lines[0].devices.size(), 2u);
    EXPECT_EQ(site.lines[1].line.Name(), "gw:502");
    EXPECT_EQ(site.lines[1].line.retries, 0);
    EXPECT_EQ(site.lines[1].devices[0].slave, 1);  // slave 1 again, on a bus of its own

    const std::string one = R"({"port": "/dev/ttyUSB0", "devices": [{"slave": 1, "data_id": 1}]})";
    EXPECT_TRUE(mentions(refusal(R"({"lines": [)" + one + R"(, {"devices": [{"slave": 1, "data_id": 1}]}]})"),
                         {"bench.json", "lines[1]", "data id 1", "lines[0]"}));
    EXPECT_TRUE(mentions(refusal(R"({"lines": [{"tcp": "gw:502", "baud": 9600, "devices": [{"slave": 1}]}]})"),
                         {"bench.json: lines[0].baud", "Modbus TCP"}));
    EXPECT_TRUE(mentions(refusal(R"({"lines": [{"baud": 12345, "devices": [{"slave": 1}]}]})"), {"lines[0].baud"}));
    EXPECT_TRUE(mentions(refusal(R"({"lines": [{"devices": [{"slave": 1}, {"slave": 1, "data_id": 2}]}]})"),
                         {"lines[0].devices[1].slave"}));
    EXPECT_TRUE(mentions(refusal(R"({"lines": [{"devices": [{"slave": 1}]}], "devices": [{"slave": 2}]})"),
                         {"leave out line and devices"}));
    EXPECT_TRUE(mentions(refusal(R"({"lines": []})"), {"lines: must list from 1 to 16"}));
    // Served over Modbus TCP, every meter needs a unit id of its own across the site.
    const std::string two = R"({"lines": [)" + one + R"(, {"devices": [{"slave": 1, "data_id": 2}]}])";
    EXPECT_NO_THROW(parse_settings_file("bench.json", two + "}"));
    EXPECT_TRUE(mentions(refusal(two + R"(, "modbus_server": "1502"})"), {"lines[1]: slave 1 is on lines[0] too"}));
    // A Modbus TCP line first is no different, and a serial option beside it is refused.
    const std::string tcp_first = R"({"lines": [{"tcp": "gw:502", "devices": [{"slave": 1}]}]})";
    EXPECT_EQ(parse_settings_file("bench.json", tcp_first).lines.front().line.Name(), "gw:502");
    EXPECT_TRUE(mentions(merge_refusal(tcp_first, options({{"--baud", "19200"}})), {"--baud", "lines[0].tcp"}));
    // One energy state file for several simulators would mix their counters.
    EXPECT_TRUE(mentions(refusal(R"({"lines": [{"devices": [{"slave": 1}]}, {"devices": [{"slave": 1, "data_id": 2}]}],
                                     "simulator_args": ["--state=/tmp/e.json"]})"),
                         {"simulator_args: --state would be one file for 2 simulated lines"}));
    // The command line's line options have no one line to go to.
    EXPECT_TRUE(mentions(merge_refusal(R"({"lines": [)" + one + R"(, {"devices": [{"slave": 1, "data_id": 2}]}]})",
                                       options({{"--baud", "19200"}})),
                         {"--baud", "2 lines"}));
}

TEST(ConfigThresholds, AMistypedKeyIsRefusedWithTheNearestRule) {
    // One digit short: the rule it meant would never be judged.
    const std::string message = refusal(R"({"devices": [{"thresholds": {"11020001001": {"level": 1, "value": 253}}}]})");
    EXPECT_TRUE(mentions(message, {"bench.json", "devices[0].thresholds", "11020001001", "no alarm rule",
                                   "110200010010", "phase 1 voltage high"}))
        << message;
    EXPECT_TRUE(mentions(refusal(R"({"thresholds": {"x": {"level": 1, "value": 1}}, "devices": [{}]})"),
                         {"bench.json: thresholds", "no alarm rule"}));
}

TEST(ConfigThresholds, TheSitesAndALinesThresholdsAreEachMetersUnlessItsOwnSayOtherwise) {
    const HostSettings site = parse_settings_file("bench.json", R"({
        "thresholds": {"110200010010": {"level": 1, "value": 253}, "110200160010": {"level": 1, "value": 80}},
        "lines": [{"thresholds": {"110200160010": {"level": 2, "value": 100}},
                   "devices": [{"slave": 1, "data_id": 1},
                               {"slave": 2, "data_id": 2, "thresholds": {"110200010010": {"level": 0, "value": 0}}}]},
                  {"devices": [{"slave": 1, "data_id": 3}]}]})");
    const auto threshold = [&](std::size_t line, std::size_t meter, const char* key) {
        const auto& table = site.lines.at(line).devices.at(meter).thresholds;
        const auto found = table.find(key);
        return found == table.end() ? std::pair{-1, 0.0f} : std::pair{found->second.level, found->second.value};
    };
    EXPECT_EQ(threshold(0, 0, "110200010010"), (std::pair{1, 253.0f}));  // the site's
    EXPECT_EQ(threshold(0, 0, "110200160010"), (std::pair{2, 100.0f}));  // the line's over the site's
    EXPECT_EQ(threshold(0, 1, "110200010010"), (std::pair{0, 0.0f}));    // the meter's own over both
    EXPECT_EQ(threshold(1, 0, "110200160010"), (std::pair{1, 80.0f}));   // another line: the site's
}
