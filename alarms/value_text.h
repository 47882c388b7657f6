// The value text of an alarm report.
#pragma once

#include <string>

// Writes into `text` what boost::lexical_cast<std::string>(value) gives for a
// whole-number float below 1e9 in magnitude (every value a rule can see),
// without the stream machinery. `text` keeps its capacity between calls.
void format_value_text(float value, std::string& text);
