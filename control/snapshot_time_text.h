// The snapshot's "更新时间" text.
#pragma once

#include <string>

#include "meter/qv5810_record.h"

// year-month-day hour:minute:second, each number in plain decimal without
// padding, e.g. 2024-3-5 7:4:9.
std::string snapshot_time_text(const QV5810_Time_t& stamp);
