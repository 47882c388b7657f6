// Which of a meter's alarm rules rose or cleared since its last poll cycle,
// worked out once for every outlet. A rule first seen normal is no change;
// a rule up that is no longer reported (its level now 0) has cleared.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/core/report.h"

class AlarmChanges {
public:
    std::vector<AlarmChange> After(const std::vector<AlarmReport>& reports);

private:
    std::map<std::string, AlarmReport> last_;  // by alarm key, as the last poll cycle reported them
};
