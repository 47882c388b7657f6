// Numbers on the command line and in the configuration: decimal or 0x hex,
// finite, in range; anything else refused with a message naming it. And
// times as the events, the history and its queries write them; and JSON
// written member by member.
#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <stdexcept>

#include "host/common/clock.h"
#include "host/common/json_text.h"
#include "host/common/number_text.h"

TEST(WholeNumbers, DecimalAndHexadecimalAreRead) {
    EXPECT_EQ(parse_whole("256", 0, 65535), 256);
    EXPECT_EQ(parse_whole("0x1F", 0, 65535), 31);
    EXPECT_EQ(parse_whole("0XfF", 0, 65535), 255);
    EXPECT_EQ(parse_whole("-5", -10, 10), -5);
    EXPECT_EQ(parse_whole("65535", 0, 65535), 65535);
}

TEST(WholeNumbers, ALeadingZeroIsStillDecimal) {
    EXPECT_EQ(parse_whole("010", 0, 65535), 10);
    EXPECT_EQ(parse_whole("0", 0, 1), 0);
}

TEST(WholeNumbers, AnythingElseIsRefusedWithTheText) {
    for (const char* text : {"", "-", "0x", "12abc", " 12", "12 ", "1.5", "1e3", "0b101", "٣", "+", "--1", "0x-1"}) {
        try {
            parse_whole(text, 0, 1000);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("'") + text + "'"), std::string::npos) << e.what();
        }
    }
}

TEST(WholeNumbers, OutOfRangeIsRefused) {
    EXPECT_THROW(parse_whole("-1", 0, 100), std::invalid_argument);
    EXPECT_THROW(parse_whole("101", 0, 100), std::invalid_argument);
    EXPECT_THROW(parse_whole("0x10000", 0, 65535), std::invalid_argument);
    EXPECT_THROW(parse_whole("99999999999999999999999", 0, 100), std::invalid_argument);
}

TEST(RealNumbers, FiniteDecimalsInRangeAreRead) {
    EXPECT_DOUBLE_EQ(parse_real("0.25", 0, 10), 0.25);
    EXPECT_DOUBLE_EQ(parse_real("3", 0, 10), 3.0);
    EXPECT_DOUBLE_EQ(parse_real("1e-3", 0, 10), 0.001);
}

TEST(RealNumbers, NotANumberInfinityAndOverflowAreRefused) {
    for (const char* text : {"nan", "NaN", "-nan", "inf", "infinity", "1e400", "0x1p3", "", " 1", "1s", "1,5"}) {
        EXPECT_THROW(parse_real(text, 0, 3600), std::invalid_argument) << text;
    }
    EXPECT_THROW(parse_real("-0.5", 0, 3600), std::invalid_argument);
    EXPECT_THROW(parse_real("3600.5", 0, 3600), std::invalid_argument);
}

// Milliseconds since the epoch worked out by Python's datetime. A 32-bit
// time_t (the armhf target's) ends in January 2038: these must not.
TEST(UtcTimes, ReadAndWrittenBeyond2038AndBefore1970) {
    const std::pair<const char*, std::int64_t> times[] = {
        {"2024-02-29T12:00:00.000Z", 1709208000000},
        {"2038-01-19T03:14:08.000Z", 2147483648000},
        {"2999-01-01T00:00:00.000Z", 32472144000000},
        {"1969-12-31T23:59:59.500Z", -500},
    };
    for (const auto& [text, ms] : times) {
        EXPECT_EQ(utc_ms_from_text(text), ms) << text;
        EXPECT_EQ(utc_text(ms), text);
    }
    for (const char* no_time : {"2026-04-31T00:00:00Z", "2026-13-01T00:00:00Z", "2026-02-29T00:00:00Z",
                                "2026-01-01T24:00:00Z", "2026-01-01"}) {
        EXPECT_FALSE(utc_ms_from_text(no_time).has_value()) << no_time;
    }
}

// A long answer's members are written straight into its text; a reader
// must get what the JSON writer would have written.
TEST(JsonText, MembersWrittenStraightReadAsTheWritersDo) {
    const double numbers[] = {0.0, -0.0, 0.1, 230.1, 3600.0, -49.95, 1e21, 123456789012.0, 1.5e-7,
                              2.0 / 3.0, std::numeric_limits<double>::quiet_NaN()};
    const std::string texts[] = {"2026-03-29 03:30:00", "a 2\" pipe", "a \\ name", "line\nbreak", "Zähler 1"};
    Json::Value tree;
    std::string straight;
    {
        JsonMembers members(straight);
        for (std::size_t i = 0; i < std::size(numbers); ++i) {
            tree["n" + std::to_string(i)] = numbers[i];
            members.Add("n" + std::to_string(i), numbers[i]);
        }
        for (std::size_t i = 0; i < std::size(texts); ++i) {
            tree["t" + std::to_string(i)] = texts[i];
            members.Add("t" + std::to_string(i), texts[i]);
        }
        tree["whole"] = Json::Int64{-7};
        members.Add("whole", std::int64_t{-7});
        tree["none"] = Json::Value();
        members.AddNull("none");
    }
    // Members in the writer's order, then compared as text: a number
    // written differently shows here, not only when read back.
    const std::optional<Json::Value> read = parse_json_object(straight, 2);
    ASSERT_TRUE(read) << straight;
    EXPECT_EQ(compact_json(*read), compact_json(tree));
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        const std::string name = "\"n" + std::to_string(i) + "\":";
        const std::string mine = straight.substr(straight.find(name) + name.size());
        const std::string writers = compact_json(tree).substr(compact_json(tree).find(name) + name.size());
        EXPECT_EQ(mine.substr(0, mine.find_first_of(",}")), writers.substr(0, writers.find_first_of(",}"))) << numbers[i];
    }
}
