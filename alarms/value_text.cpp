#include "alarms/value_text.h"

#include <boost/lexical_cast.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>

void format_value_text(float value, std::string& text) {
    const bool whole = value == std::trunc(value) && !(value == 0.0f && std::signbit(value));
    if (whole && std::fabs(value) < 1e9f) {
        // lexical_cast prints "%.9g", which for such a number is its exact digits.
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(value)).ptr;
        text.assign(digits, end);
        return;
    }
    text = boost::lexical_cast<std::string>(value);
}
