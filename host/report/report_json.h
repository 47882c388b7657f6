// The report as JSON, one renderer for each thing every outlet shows: a
// quantity, an alarm rule's outcome, a meter's health, a request in
// trouble, a write, a back-off. The JSON lines, the page's API and event
// stream and the broker all render through these, so that a value has one
// shape wherever it goes (docs/http-api.md).
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "host/report/report.h"

// The snapshot text as a JSON object; an empty object when the text is none.
Json::Value snapshot_object(const std::string& snapshot_text);

// {"column", "label", "name", "unit", "register", "decimals", "value", "text"}.
Json::Value quantity_json(const Quantity& quantity);
// Every quantity of a report, in the table's order.
Json::Value quantities_json(const std::vector<Quantity>& quantities);
// {"key", "text", "label", "level", "threshold", "value", "compared", "unit",
// "up"}: the controller's text beside the rule in English, the measured
// value beside the whole number the device compared with the threshold.
// `up` is the outcome told (a change's).
Json::Value alarm_json(const AlarmOutcome& outcome, bool up);
// The same for people, on one line: "phase 1 voltage high: 266.4 V,
// compared as 266, threshold 253, level 1 (001#…过高)".
std::string alarm_text(const AlarmOutcome& outcome);

// Cycles, failures by cause, retries, the mean cycle, the last cycle and
// error, the back-off, and the spreads of the requests' times.
Json::Value health_json(const MeterHealth& health);
Json::Value spread_json(const Spread& spread);
// {"id", "name", "slave", "line", "data_id"}.
Json::Value meter_json(const DeviceConfig& meter);

// The events as the JSON lines and the page's stream carry them.
Json::Value trouble_json(std::uint32_t data_id, int cycle, const RequestTrouble& trouble);
Json::Value write_json(const WriteReport& report);
Json::Value backoff_json(const BackoffReport& report);
Json::Value recovered_json(const DeviceConfig& meter, int cycle);
