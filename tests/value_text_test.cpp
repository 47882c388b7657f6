// The alarm value text must be byte-identical to boost::lexical_cast's.
#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "alarms/value_text.h"

namespace {

void expect_same_as_lexical_cast(float value) {
    ASSERT_EQ(format_value_text(value), boost::lexical_cast<std::string>(value)) << "value " << value;
}

// Every value a rule can see: a signed 32-bit raw value divided by 10 or 1000.
constexpr std::int64_t kLargestQuotient = 2147483648LL / 10;

}  // namespace

TEST(ValueText, SmallWholeNumbersExhaustively) {
    for (std::int32_t q = -70000; q <= 70000; ++q) expect_same_as_lexical_cast(static_cast<float>(q));
}

TEST(ValueText, AroundEveryPowerOfTwoWhereFloatsStopBeingExact) {
    for (int bits = 14; bits <= 28; ++bits) {
        const std::int64_t p = std::int64_t{1} << bits;
        for (std::int64_t q = p - 300; q <= p + 300; ++q) {
            expect_same_as_lexical_cast(static_cast<float>(q));
            expect_same_as_lexical_cast(static_cast<float>(-q));
        }
    }
    // 2^24 + 1 has no float of its own and prints as 2^24.
    EXPECT_EQ(format_value_text(static_cast<float>(16777217)), "16777216");
}

TEST(ValueText, RandomQuotientsAcrossTheWholeRange) {
    std::mt19937 random(5810);
    std::uniform_int_distribution<std::int64_t> raw(-2147483648LL, 2147483647LL);
    for (int i = 0; i < 200000; ++i) {
        const std::int64_t r = raw(random);
        expect_same_as_lexical_cast(static_cast<float>(r / 10));
        expect_same_as_lexical_cast(static_cast<float>(r / 1000));
    }
    expect_same_as_lexical_cast(static_cast<float>(kLargestQuotient));
    expect_same_as_lexical_cast(static_cast<float>(-kLargestQuotient));
}

TEST(ValueText, NonWholeAndHugeValuesFallBackToTheLibrary) {
    for (float v : {0.5f, -0.0f, 1e9f, -3e12f, 123.25f, std::nanf(""), INFINITY}) expect_same_as_lexical_cast(v);
}
