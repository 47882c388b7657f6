// A meter as the API shows it, in JSON: the summary of the device list and
// the full view of one device, rendered from the report of its latest cycle
// with the report's own renderers. The alarm rules are the plug-in's 27
// with the levels and thresholds the configuration gives them.
#pragma once

#include <json/value.h>

#include "host/live/live_state.h"

// {"age_s": …, "stale": …}; an age of null when no cycle completed.
Json::Value freshness_json(const Freshness& freshness);
// Name, slave and data id, with the line's health (not the freshness).
Json::Value meter_summary_json(const LiveMeter& meter);
// Everything of one meter but its freshness, which changes by the second.
Json::Value meter_detail_json(const LiveMeter& meter, bool writes_allowed);
// The summary with what the site's overview shows: the main quantities, the
// rules up (null when the meter judges none) and the cycle they are from.
Json::Value meter_glance_json(const LiveMeter& meter);
