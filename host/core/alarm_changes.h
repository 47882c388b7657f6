// A meter's alarm rules as the outlets see them: each report of the device
// made an AlarmOutcome with the measured value and the configured threshold
// beside it, and which rules rose or cleared since the meter's last poll
// cycle, worked out once for every outlet. A rule first seen normal is no
// change; a rule up that is no longer reported (its level now 0) has cleared.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/report/report.h"
#include "host/runtime/host_sink.h"

// The device's report with what the bench host knows beside it, from the
// cycle's decoded quantities and the meter's configuration.
AlarmOutcome alarm_outcome(const AlarmReport& report, const DeviceConfig& meter, const std::vector<Quantity>& quantities);

class AlarmChanges {
public:
    std::vector<AlarmChange> After(const std::vector<AlarmOutcome>& outcomes);

private:
    std::map<std::string, AlarmOutcome> last_;  // by alarm key, as the last poll cycle reported them
};
