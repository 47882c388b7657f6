#include "tests/support/recording_sink.h"

void RecordingSink::Published(const QMXVDevice&, std::uint32_t data_id, const unsigned char* data, int length,
                              bool delayed) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("publish");
    published.push_back({data_id, std::vector<unsigned char>(data, data + length), delayed});
}

void RecordingSink::HistoryStored(const QMXVDevice&, const unsigned char* data, int length) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("history");
    history.emplace_back(data, data + length);
}

void RecordingSink::AlarmReported(const QMXVDevice&, const AlarmCall& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("alarm");
    alarms.push_back(report.Keep());
}

bool RecordingSink::BatchChecked(const QMXVDevice&, const std::vector<rule_value>& rules) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("batch");
    batch_sizes.push_back(rules.size());
    return batch_result;
}

void RecordingSink::ExchangeReset(const QMXVDevice&) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("reset");
}

void RecordingSink::PortOpened(const QMXVDevice&) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("open");
}

void RecordingSink::PollStarted(const QMXVDevice&) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("poll");
}

int RecordingSink::BaseControl(const QMXVDevice&, int code, const void* input, int input_length, void* output,
                               int output_capacity, int& written) {
    std::lock_guard<std::mutex> lock(mutex_);
    events.emplace_back("base");
    base.push_back({code, input, input_length, output, output_capacity, &written});
    ++base_calls;
    last_base_code = code;
    return base_result;
}

void RecordingSink::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events.clear();
    published.clear();
    history.clear();
    alarms.clear();
    batch_sizes.clear();
    base_calls = 0;
    base.clear();
}
