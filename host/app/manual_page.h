// qmxhost(1), made from the settings table and the exit statuses, so that
// the page installed with the package says what this build does.
#pragma once

#include <string>

// The page in man(7) roff.
std::string manual_page(const std::string& version);
