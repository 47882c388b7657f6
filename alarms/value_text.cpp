#include "alarms/value_text.h"

#include <boost/lexical_cast.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>

std::string format_value_text(float value) {
    const bool whole = value == std::trunc(value) && !(value == 0.0f && std::signbit(value));
    if (whole && std::fabs(value) < 1e9f) {
        // lexical_cast prints "%.9g", which for such a number is its exact digits.
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(value)).ptr;
        return std::string(digits, end);
    }
    return boost::lexical_cast<std::string>(value);
}
