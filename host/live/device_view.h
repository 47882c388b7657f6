// A meter as the API shows it, in JSON: the summary of the device list and
// the full view of one device. Values are decoded by the bench host's own
// reading of the record; the alarm rules are the plug-in's 27 with the
// levels and thresholds the configuration gives them.
#pragma once

#include <json/value.h>

#include "host/core/freshness.h"
#include "host/live/live_state.h"

// {"age_s": …, "stale": …}; an age of null when no cycle completed.
Json::Value freshness_json(const std::optional<Clock::time_point>& completed_at, Clock::time_point now);
// Cycles completed and failed, retries, mean cycle beside the wire limit
// (null over Modbus TCP), last error.
Json::Value health_json(const LiveMeter& meter);
// Name, slave and data id, with the line's health (not the freshness).
Json::Value meter_summary_json(const LiveMeter& meter);
// Everything of one meter but its freshness, which changes by the second.
Json::Value meter_detail_json(const LiveMeter& meter, bool writes_allowed);
// The summary with what the site's overview shows: the main quantities, the
// rules up (null when the meter judges none) and the cycle they are from.
Json::Value meter_glance_json(const LiveMeter& meter);
