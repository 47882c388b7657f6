// A Modbus device that publishes exactly one fixed-size record.
//
// The template owns the record, reads the threshold mode and per-alarm
// settings from the device configuration, finishes each poll cycle (stamp,
// publish, alarms, history) and reloads records from the controller's cache.
// The device class supplies the poll cycle (process_payload) and the alarm
// rules (RunCheckThreshold).
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "framework/host_time.h"

namespace uni_data_detail {

// A member counts as present when it exists and is not null. Unlike
// operator[], this never throws on a configuration that is not an object.
inline const Json::Value* present_member(const Json::Value& object, const char* key) {
    if (!object.isObject()) return nullptr;
    const Json::Value* member = object.find(key, key + std::strlen(key));
    return (member != nullptr && !member->isNull()) ? member : nullptr;
}

// atoi's reading of a text (leading blanks, a sign, leading digits, else 0),
// saturated to int where atoi's result would be undefined.
inline int atoi_saturated(const std::string& text) {
    const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (parsed > INT_MAX) return INT_MAX;
    if (parsed < INT_MIN) return INT_MIN;
    return static_cast<int>(parsed);
}

}  // namespace uni_data_detail

template <typename Record, typename Transport, std::uint32_t DataIdentifier>
class UniDataDevice : public Transport {
public:
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));
    using WallClock = boost::posix_time::ptime (*)();

    UniDataDevice() {
        std::memset(&record, 0, sizeof record);
        std::memset(&completed_record, 0, sizeof completed_record);
    }
    ~UniDataDevice() override = default;

    int LoadFromCache(const std::string& text) override {
        if (text.size() > static_cast<std::size_t>(INT_MAX)) return 0;
        return LoadFromCache(reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<int>(text.size()));
    }

    int LoadFromCache(const unsigned char* bytes, int length) override {
        if (bytes == nullptr || length != kRecordSize) return 0;
        std::memcpy(&record, bytes, sizeof record);
        RoundDone();  // sets data_valid under the lock that readers take
        return 1;
    }

    void RoundDone() override {
        {
            // The cycle's record and time are handed to the snapshot as one unit.
            std::lock_guard<std::mutex> lock(snapshot_mutex);
            this->data_valid = true;
            this->last_update_time = wall_clock.load()();
            const TTime stamp = get_ttime(this->last_update_time);
            static_assert(sizeof record.update_time == kPackedTimeSize, "7-byte time stamp");
            std::memcpy(&record.update_time, &stamp, kPackedTimeSize);
            completed_record = record;
        }
        this->SendSP(DataIdentifier, &record, kRecordSize, false);
        this->Reset();
        this->comm_status = 1;
        this->alarm_active = false;
        RunCheckThreshold();
        std::cout << "rvSize is " << static_cast<int>(this->rule_values.size()) << std::endl;
        if (this->DoBatchCheckThreshold(this->rule_values)) this->alarm_active = true;
        this->SaveDeviceHistory(&record, kRecordSize);
        this->rule_values.clear();
    }

    int InitSetting(const Json::Value& config) override {
        using uni_data_detail::present_member;
        record.dev_id = this->device_data_id;

        const Json::Value* app_setting = present_member(config, "appSetting");
        if (app_setting != nullptr) {
            if (const Json::Value* mode = present_member(*app_setting, "b_mode")) {
                b_mode = uni_data_detail::atoi_saturated(mode->asString());
                std::cout << "InitSetting " << record.dev_id << " b_mode_:" << b_mode << std::endl;
            }
        }
        if (b_mode == 3) {
            std::cout << "here 1" << std::endl;
            if (const Json::Value* rules = present_member(config, "thresholdSetting")) {
                std::cout << "here 2" << std::endl;
                for (auto it = rules->begin(); it != rules->end(); ++it) {
                    ReadThresholdRule(it.name(), *it);
                }
            }
        }
        return Transport::InitSetting(config);
    }

    virtual void RunCheckThreshold() {}

    // Lets tests and simulations stand in for the wall clock.
    void UseWallClock(WallClock clock) { wall_clock = clock; }

protected:
    Record record;
    std::int32_t b_mode = 1;
    std::map<std::string, std::string> alarm_refs;
    std::map<std::string, std::string> signal_names;
    boost::posix_time::ptime snapshot_time;
    // Guards completed_record and every snapshot_* member; the plug-in's own
    // readers of data_valid and last_update_time (the value query) take it
    // too, so they see the two from one cycle.
    mutable std::mutex snapshot_mutex;
    Json::Value snapshot_json;
    // The record as the last completed cycle left it, so that a snapshot
    // never mixes the blocks of two cycles.
    Record completed_record;
    std::atomic<WallClock> wall_clock{&boost::posix_time::second_clock::local_time};

private:
    void ReadThresholdRule(const std::string& key, const Json::Value& rule) {
        using uni_data_detail::present_member;
        std::cout << "here " << key << std::endl;
        if (!rule.isObject()) return;
        if (const Json::Value* name = present_member(rule, "SignalName")) {
            signal_names[key] = name->asString();
        }
        std::string reference;
        static const char* const kFields[] = {"NMAlarmID", "ID", "SignalNumber"};
        for (const char* field : kFields) {
            if (const Json::Value* value = present_member(rule, field)) {
                reference += value->asString();
            } else {
                std::cout << this->device_data_id << " " << field << " is missing" << std::endl;
            }
            reference += ";";
        }
        // Straight to the stream, as every diagnostic line: a string stream
        // would take the process-wide locale and group the digits.
        std::cout << "mobile:" << key << ":" << reference << " level:" << this->threshold_levels[key]
                  << " value:" << this->threshold_values[key] << std::endl;
        alarm_refs[key] = reference;
    }
};
