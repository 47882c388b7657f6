// The value text of an alarm report.
#pragma once

#include <string>

// What boost::lexical_cast<std::string>(value) gives, without the stream
// machinery for a whole-number float below 1e9 in magnitude (every value a
// rule can see).
std::string format_value_text(float value);
