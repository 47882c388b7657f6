#include "sim/answer_faults.h"

#include <algorithm>
#include <chrono>
#include <thread>

AnswerFaults::Fate AnswerFaults::Next(int slave) {
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
    return fate;
}

bool hold_back(int ms, const volatile std::sig_atomic_t& keep_running) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (keep_running && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
    }
    return keep_running != 0;
}
