// Numbers on the command line and in the configuration: decimal or 0x hex,
// finite, in range; anything else refused with a message naming it.
#include <gtest/gtest.h>

#include <stdexcept>

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
