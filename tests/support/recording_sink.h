// A controller sink that records every effect, in order, for assertions.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/runtime/host_sink.h"

struct Published {
    std::uint32_t data_id;
    std::vector<unsigned char> bytes;
    bool delayed;
};

// The six arguments of a request passed on to the controller's own handling.
struct BaseCall {
    int code;
    const void* input;
    int input_length;
    void* output;
    int output_capacity;
    const int* written;  // the address of the caller's written length
};

class RecordingSink : public HostSink {
public:
    void Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data, int length,
                   bool delayed) override;
    void HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) override;
    void AlarmReported(const QMXVDevice& device, const AlarmCall& report) override;
    bool BatchChecked(const QMXVDevice& device, const std::vector<rule_value>& rules) override;
    void ExchangeReset(const QMXVDevice& device) override;
    void PortOpened(const QMXVDevice& device) override;
    void PollStarted(const QMXVDevice& device) override;
    int BaseControl(const QMXVDevice& device, int code, const void* input, int input_length, void* output,
                    int output_capacity, int& written) override;

    // Every effect by name ("publish", "history", "alarm", "batch", "reset",
    // "open", "poll", "base"), in the order the device caused them.
    std::vector<std::string> events;
    std::vector<struct Published> published;
    std::vector<std::vector<unsigned char>> history;
    std::vector<AlarmReport> alarms;
    std::vector<std::size_t> batch_sizes;
    bool batch_result = false;
    int base_result = 77;  // recognisable when a request is passed on
    int base_calls = 0;
    int last_base_code = 0;
    std::vector<BaseCall> base;

    void Clear();

private:
    std::mutex mutex_;  // devices may report from several threads
};
