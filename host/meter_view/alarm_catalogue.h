// The controller's 27 threshold alarm rules as the bench host describes
// them: key, text, the quantity judged, the direction and how far past the
// normal the threshold lies, from which each rule's English label follows. The bench host's
// own catalogue, kept apart from the plug-in's table (a test holds the two
// side by side), so that the page and the broker can describe rules the
// device has not judged.
#pragma once

#include <array>
#include <string>

struct AlarmRuleView {
    const char* key;    // 12-digit alarm key
    const char* text;   // the alarm text the device reports
    int high_register;  // of the quantity judged
    bool high;          // up when the value is above the threshold; else below
    // 1 for a quantity's first threshold (过高, 过低, 过大), 2 for its second,
    // further out (超高, 超低). The second low line-voltage rules report the
    // first's text (过低): their place among the keys tells them apart.
    int severity;

    // In English, naming the quantity, the direction and the level:
    // "phase 1 voltage high", "phase 1 voltage very high".
    std::string Label() const;
};

extern const std::array<AlarmRuleView, 27> kAlarmCatalogue;

// The rule of a key, or nullptr.
const AlarmRuleView* rule_of(const std::string& key);
