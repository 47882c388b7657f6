#include "tests/support/scripted_transport.h"

void ScriptedTransport::ReadRegisters(SPModbus&, int address, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({Request::read, address, count, {}});
}

void ScriptedTransport::WriteRegister(SPModbus&, int address, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({Request::write_one, address, 1, {static_cast<std::uint16_t>(value)}});
}

void ScriptedTransport::WriteRegisters(SPModbus&, int address, int count, const unsigned short* values) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({Request::write_many, address, count,
                         std::vector<std::uint16_t>(values, values + (count > 0 ? count : 0))});
}

std::vector<Request> ScriptedTransport::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedTransport::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}
