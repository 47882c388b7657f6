// The configuration file and the line settings: misspelt keys, values the
// port cannot take and two meters on one address are refused, naming the
// file, the key and the reason.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/qmxhost/host_config.h"
#include "host/qmxhost/tcp_address.h"

namespace {

std::string refusal(const std::string& text) {
    try {
        parse_host_config("bench.json", text);
    } catch (const std::runtime_error& e) {
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
    const HostConfig config = parse_host_config("bench.json", R"({"devices": [{}]})");
    EXPECT_EQ(config.line.baud, 9600);
    EXPECT_EQ(config.line.parity, 'N');
    EXPECT_EQ(config.line.data_bits, 8);
    EXPECT_EQ(config.line.stop_bits, 1);
    EXPECT_EQ(config.line.response_timeout_ms, 1000);
    EXPECT_EQ(config.line.byte_timeout_ms, 500);
    EXPECT_EQ(config.line.retries, 2);
    EXPECT_FALSE(config.line.rs485);
    EXPECT_EQ(config.line.rts, "none");
    EXPECT_EQ(config.line.delay_ms, 0);
}

TEST(LineSettingsCheck, TheExampleConfigurationLoads) {
    EXPECT_NO_THROW(load_host_config(QV5810_TEST_CONFIG));
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
    const HostConfig config = parse_host_config(
        "bench.json", with_line(R"("tcp": "gw:502", "response_timeout_ms": 300, "retries": 4, "delay_ms": 5)"));
    EXPECT_EQ(config.line.tcp, "gw:502");
    EXPECT_EQ(config.line.retries, 4);
    EXPECT_TRUE(config.line.port.empty());
}
