// Numbers as people type them on a command line or in a configuration:
// decimal, or hexadecimal after 0x. A leading zero is still decimal, never
// octal, and nothing but the number may follow it.
#pragma once

#include <string>

// Throws std::invalid_argument with a message a user can act on.
long long parse_whole(const std::string& text, long long low, long long high);
// A finite decimal number from `low` to `high`. Throws std::invalid_argument.
double parse_real(const std::string& text, double low, double high);
