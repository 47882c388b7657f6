// The alarm rules at the end of every completed cycle, reported to the controller.
#include "alarms/alarm_evaluation.h"
#include "meter/qv5810.h"

namespace {
constexpr std::int32_t kThresholdMode = 2;
constexpr unsigned short kReportCount = 1;
}  // namespace

void QV5810::RunCheckThreshold() {
    if (b_mode != kThresholdMode) return;
    evaluate_alarm_rules(record, threshold_levels, threshold_values, [this](const AlarmOutcome& rule) {
        CheckThresholdBool(rule.level, rule.key, rule.key, rule.text, rule.value_text, rule.outcome, kReportCount);
    });
}
