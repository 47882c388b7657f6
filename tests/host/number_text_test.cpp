// Numbers on the command line and in the configuration: decimal or 0x hex,
// finite, in range; anything else refused with a message naming it. And
// times as the events, the history and its queries write them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/common/clock.h"
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
