#include "sim/answer_faults.h"

#include <algorithm>
#include <chrono>
#include <thread>

AnswerFaults::Fate AnswerFaults::Next(int slave) {
    if (!faults_fall_on(faults_.slaves, slave)) return Fate{};
    const int number = ++answers_;
    auto due = [number](int every) { return every > 0 && number % every == 0; };
    Fate fate;
    if (due(faults_.drop_every)) {
        log_.Fault("drop", slave, number);
        fate.drop = true;
        return fate;
    }
    if (due(faults_.corrupt_every)) {
        log_.Fault("crc", slave, number);
        fate.corrupt = true;
    }
    if (due(faults_.slow_every)) {
        log_.Fault("slow", slave, number);
        fate.hold_ms = faults_.slow_ms;
    }
    if (due(faults_.stray_every)) {
        log_.Fault("stray", slave, number);
        fate.stray = true;
        fate.hold_ms = faults_.slow_ms;
    }
    return fate;
}

std::vector<std::uint8_t> stray_frame() {
    std::vector<std::uint8_t> frame{247, 0x83, 0x02};
    // CRC-16/MODBUS, low byte first.
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

bool hold_back(int ms, const std::atomic<bool>& keep_running) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (keep_running && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
    }
    return keep_running.load();
}
