// Where the stand-in controller sends the effects a device asks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "framework/rule_value.h"

class QMXVDevice;

// One threshold report as a sink may keep it.
struct AlarmReport {
    int level;
    std::string alarm_key;
    std::string signal_key;
    std::string alarm_text;
    std::string value_text;
    bool state;
    unsigned short count;
};

// One CheckThresholdBool call, its arguments as the device passed them.
struct AlarmCall {
    int level;
    const std::string& alarm_key;
    const std::string& signal_key;
    const std::string& alarm_text;
    const std::string& value_text;
    bool state;
    unsigned short count;

    AlarmReport Keep() const { return {level, alarm_key, signal_key, alarm_text, value_text, state, count}; }
};

// Every hook has a quiet default, so a sink overrides only what it watches.
class HostSink {
public:
    virtual ~HostSink() = default;
    virtual void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data,
                           int length, bool delayed);
    virtual void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length);
    virtual void AlarmReported(const QMXVDevice& device, const AlarmCall& call);
    // Whether the controller gathers the reports of a cycle into
    // rule_values for its batch check.
    virtual bool BatchesAlarms() const;
    // The controller's batch check; true when an alarm is active.
    virtual bool BatchChecked(const QMXVDevice& device, const std::vector<rule_value>& rules);
    virtual void ExchangeReset(const QMXVDevice& device);
    virtual void PortOpened(const QMXVDevice& device);
    virtual void PollStarted(const QMXVDevice& device);
    // The controller's own handling of control requests a device passes on.
    virtual int BaseControl(const QMXVDevice& device, int code, const void* input, int input_length,
                            void* output, int output_capacity, int& written);
};
