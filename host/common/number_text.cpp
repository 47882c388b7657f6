#include "host/common/number_text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
    throw std::invalid_argument("'" + text + "' " + why);
}

bool all_digits(const std::string& text, std::size_t from, int base) {
    if (from >= text.size()) return false;
    for (std::size_t i = from; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (base == 16 ? std::isxdigit(c) == 0 : std::isdigit(c) == 0) return false;
    }
    return true;
}

}  // namespace

long long parse_whole(const std::string& text, long long low, long long high) {
    const std::string range = "from " + std::to_string(low) + " to " + std::to_string(high);
    const bool negative = !text.empty() && text[0] == '-';
    const std::size_t sign = negative || (!text.empty() && text[0] == '+') ? 1 : 0;
    const bool hex = text.size() > sign + 1 && text[sign] == '0' && (text[sign + 1] == 'x' || text[sign + 1] == 'X');
    const std::size_t digits = sign + (hex ? 2 : 0);
    if (!all_digits(text, digits, hex ? 16 : 10)) {
        refuse(text, "is not a whole number (decimal, or hexadecimal after 0x), " + range);
    }
    errno = 0;
    const long long magnitude = std::strtoll(text.c_str() + digits, nullptr, hex ? 16 : 10);
    if (errno == ERANGE) refuse(text, "is out of range: " + range);
    const long long value = negative ? -magnitude : magnitude;
    if (value < low || value > high) refuse(text, "is out of range: " + range);
    return value;
}

double parse_real(const std::string& text, double low, double high) {
    std::ostringstream range;
    range << "from " << low << " to " << high;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0
                             ? std::nan("")
                             : std::strtod(begin, &end);
    if (end != begin + text.size()) refuse(text, "is not a number, " + range.str());
    if (!std::isfinite(value) || errno == ERANGE) refuse(text, "is not a finite number, " + range.str());
    // Hexadecimal floats are refused like any other non-decimal spelling.
    for (char c : text) {
        if (c == 'x' || c == 'X') refuse(text, "is not a decimal number, " + range.str());
    }
    if (value < low || value > high) refuse(text, "is out of range: " + range.str());
    return value;
}
