// One threshold outcome collected for the controller's batch check.
#pragma once

#include <string>

struct rule_value {
    std::string key;
    int level = 0;
    bool state = false;
    std::string value_text;
};
