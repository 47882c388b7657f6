// The controller's 27 threshold alarm rules as the bench host describes
// them: key, text, the quantity judged and the direction. The bench host's
// own catalogue, kept apart from the plug-in's table (a test holds the two
// side by side), so that the page and the broker can describe rules the
// device has not judged.
#pragma once

#include <array>

struct AlarmRuleView {
    const char* key;    // 12-digit alarm key
    const char* text;   // the alarm text the device reports
    int high_register;  // of the quantity judged
    bool high;          // up when the value is above the threshold; else below
};

extern const std::array<AlarmRuleView, 27> kAlarmCatalogue;
