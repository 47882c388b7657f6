// Where the stand-in controller sends the effects a device asks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "framework/rule_value.h"

class QMXVDevice;

struct AlarmReport {
    int level;
    std::string alarm_key;
    std::string signal_key;
    std::string alarm_text;
    std::string value_text;
    bool state;
    unsigned short count;
};

// Every hook has a quiet default, so a sink overrides only what it watches.
class HostSink {
public:
    virtual ~HostSink() = default;
    virtual void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data,
                           int length, bool delayed);
    virtual void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length);
    virtual void AlarmReported(const QMXVDevice& device, const AlarmReport& report);
    // The controller's batch check; true when an alarm is active.
    virtual bool BatchChecked(const QMXVDevice& device, const std::vector<rule_value>& rules);
    virtual void ExchangeReset(const QMXVDevice& device);
    virtual void PortOpened(const QMXVDevice& device);
    virtual void PollStarted(const QMXVDevice& device);
    // The controller's own handling of control requests a device passes on.
    virtual int BaseControl(const QMXVDevice& device, int code, const void* input, int input_length,
                            void* output, int output_capacity, int& written);
};
