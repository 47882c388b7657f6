#include "host/config/meter_config.h"

#include "host/meter_view/alarm_catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// The member, without adding it as operator[] would.
const Json::Value* member(const Json::Value& object, const std::string& name) {
    return object.find(name.data(), name.data() + name.size());
}

[[noreturn]] void bad(const std::string& key, const std::string& why) { throw SettingsError(key + ": " + why); }

int whole(const Json::Value& object, const std::string& where, const char* key, int fallback, long long low,
          long long high) {
    if (!object.isMember(key)) return fallback;
    const std::optional<long long> value = json_whole(object[key], low, high);
    if (!value) bad(where + key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(*value);
}

}  // namespace

std::optional<long long> json_whole(const Json::Value& value, long long low, long long high) {
    // Compared as doubles first: 1e30 is no whole number to convert.
    if (!value.isNumeric() || value.isBool()) return std::nullopt;
    const double number = value.asDouble();
    if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high))) return std::nullopt;
    if (value.isDouble() && std::trunc(number) != number) return std::nullopt;
    return value.isDouble() ? static_cast<long long>(number) : value.asInt64();
}

void refuse_unknown_keys(const Json::Value& object, const std::string& where, const std::vector<std::string>& known) {
    for (const std::string& key : object.getMemberNames()) {
        bool listed = false;
        for (const std::string& k : known) listed = listed || k == key;
        if (listed) continue;
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        bad(where + key, "unknown key (known here: " + list + ")");
    }
}

namespace {

// Edits from one text to the other (Levenshtein).
std::size_t edits(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string threshold_key_problem(const std::string& key) {
    if (rule_of(key) != nullptr) return "";
    const AlarmRuleView* nearest = &kAlarmCatalogue.front();
    for (const AlarmRuleView& rule : kAlarmCatalogue) {
        if (edits(key, rule.key) < edits(key, nearest->key)) nearest = &rule;
    }
    // A rule left out by a typo would never be judged, and nothing would say so.
    return "no alarm rule has this key; the nearest is " + std::string(nearest->key) + " (" + nearest->Label() + ")";
}

std::map<std::string, Threshold> read_thresholds(const Json::Value& thresholds) {
    std::map<std::string, Threshold> read;
    if (!thresholds.isObject()) bad("thresholds", "must be an object");
    for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
        const std::string where = "thresholds." + it.name();
        if (const std::string problem = threshold_key_problem(it.name()); !problem.empty()) bad(where, problem);
        if (!it->isObject()) bad(where, "must be an object with \"level\" and \"value\"");
        refuse_unknown_keys(*it, where + ".", {"level", "value"});
        if (!it->isMember("level")) bad(where + ".level", "is missing");
        if (!(*it)["value"].isNumeric()) bad(where + ".value", "must be a number");
        read[it.name()] = {whole(*it, where + ".", "level", 0, kThresholdLevels.low, kThresholdLevels.high),
                           (*it)["value"].asFloat()};
    }
    return read;
}

std::string duplicate_device_problem(const std::vector<DeviceConfig>& devices) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const std::string pair = "devices[" + std::to_string(i) + "] and devices[" + std::to_string(j) + "]";
            if (devices[i].slave == devices[j].slave) {
                return "devices[" + std::to_string(i) + "].slave: " + pair + " share slave address " +
                       std::to_string(devices[i].slave) + ": every meter on the line needs its own";
            }
            if (devices[i].data_id == devices[j].data_id) {
                return "devices[" + std::to_string(i) + "].data_id: " + pair + " share data id " +
                       std::to_string(devices[i].data_id) + ": their records would be indistinguishable";
            }
        }
    }
    return "";
}

bool setting_evaluates_alarms(const Json::Value& setting) {
    const Json::Value* app = member(setting, "appSetting");
    if (app == nullptr || !app->isObject()) return false;
    const Json::Value* mode = member(*app, "b_mode");
    if (mode == nullptr || mode->isNull()) return false;
    if (mode->isIntegral()) return mode->asLargestInt() == 2;
    return mode->isString() && std::atoi(mode->asCString()) == 2;
}
