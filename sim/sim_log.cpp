#include "sim/sim_log.h"

#include <json/writer.h>

#include <stdexcept>

#include "host/common/clock.h"

namespace {
Json::Value array_of(const std::vector<std::uint16_t>& values) {
    Json::Value array(Json::arrayValue);
    for (std::uint16_t v : values) array.append(v);
    return array;
}
}  // namespace

SimLog::SimLog(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) throw std::runtime_error("cannot write the log " + path);
}

SimLog::~SimLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void SimLog::Emit(Json::Value event) {
    if (file_ == nullptr) return;
    event["utc_ms"] = static_cast<Json::Int64>(utc_now_ms());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const std::string line = Json::FastWriter().write(event);
#pragma GCC diagnostic pop
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

void SimLog::Served(int slave, int cycle, int function, int address, const std::vector<std::uint16_t>& values) {
    Json::Value event;
    event["event"] = "served";
    event["slave"] = slave;
    event["cycle"] = cycle;
    event["function"] = function;
    event["address"] = address;
    event["values"] = array_of(values);
    Emit(event);
}

void SimLog::Wrote(int slave, int function, int address, const std::vector<std::uint16_t>& values) {
    Json::Value event;
    event["event"] = "wrote";
    event["slave"] = slave;
    event["function"] = function;
    event["address"] = address;
    event["values"] = array_of(values);
    Emit(event);
}

void SimLog::Fault(const char* kind, int slave, int answer_number) {
    Json::Value event;
    event["event"] = "fault";
    event["fault"] = kind;
    event["slave"] = slave;
    event["answer"] = answer_number;
    Emit(event);
}

void SimLog::Request(int slave, int function) {
    Json::Value event;
    event["event"] = "request";
    event["slave"] = slave;
    event["function"] = function;
    Emit(event);
}

void SimLog::Answered(int slave) {
    Json::Value event;
    event["event"] = "answered";
    event["slave"] = slave;
    Emit(event);
}
