// What the simulator was asked and served, one JSON object per line with the
// wall-clock time it happened, for tests to compare with what the host
// published and when.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

class SimLog {
public:
    explicit SimLog(const std::string& path);  // empty: no log
    ~SimLog();
    SimLog(const SimLog&) = delete;
    SimLog& operator=(const SimLog&) = delete;

    void Served(int slave, int cycle, int function, int address, const std::vector<std::uint16_t>& values);
    void Wrote(int slave, int function, int address, const std::vector<std::uint16_t>& values);
    void Fault(const char* kind, int slave, int answer_number);
    // A request as it arrived on the line, whoever it was for, and an answer
    // as it went out on it (after any hold).
    void Request(int slave, int function);
    void Answered(int slave);

private:
    void Emit(Json::Value event);
    std::FILE* file_ = nullptr;
    std::mutex mutex_;
};
