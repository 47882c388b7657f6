// A Modbus line in-process: answers from a register bank, with the faults a
// test scripts per attempt, and a clock that moves only as the line is used.
#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/common/clock.h"
#include "host/line/modbus_context.h"
#include "tests/support/meter_oracle.h"

class FakeSteadyClock : public Clock {
public:
    time_point Now() override { return now_; }
    bool SleepUntil(time_point until, const StopSignal& stop) override {
        ++sleeps;
        if (until > now_) now_ = until;
        if (after_sleep) after_sleep();
        return !stop.requested();
    }
    int sleeps = 0;
    std::function<void()> after_sleep;  // runs after every sleep, at its end
    void Advance(std::chrono::milliseconds by) { now_ += by; }

private:
    time_point now_{};
};

enum class LineFault {
    none,
    timeout,
    crc,
    short_refused,    // fewer registers than asked: libmodbus refuses it
    short_passed,     // fewer registers than asked, as if nothing had checked
    late,             // times out, and the answer arrives afterwards
    exception,
    echo_of_other_address,
    echo_from_other_slave,
    stray_after,  // answers, then a stray frame (of the size the next read expects) lands on the line
    gateway_silent,  // a Modbus TCP gateway's exception 11: the meter behind it did not answer
};

class ScriptedLine : public ModbusContext {
public:
    explicit ScriptedLine(FakeSteadyClock& clock) : clock_(clock) {}

    int SetSlave(int slave) override {
        slave_ = slave;
        return 0;
    }
    int ReadRegisters(int address, int count, std::uint16_t* destination) override;
    int SendRawRequest(const std::uint8_t* request, int length) override;
    int ReceiveConfirmation(std::uint8_t* answer) override;
    // An answer still in flight lands just after a flush, so only waiting
    // for silence (Drain) keeps it from being read as the next answer.
    int Flush() override {
        ++flushes;
        late_ = in_flight_;
        in_flight_.reset();
        stray_ = false;
        return 0;
    }
    int Drain(int quiet_ms) override {
        ++drains;
        clock_.Advance(std::chrono::milliseconds(quiet_ms));
        late_.reset();
        in_flight_.reset();
        return 0;
    }
    int SetResponseTimeout(int milliseconds) override {
        timeout_time = std::chrono::milliseconds(milliseconds);
        timeouts.push_back(milliseconds);
        return 0;
    }
    int HeaderLength() override { return 1; }
    int ChecksumLength() override { return 2; }

    // The fault of each further attempt, in order; then none.
    std::deque<LineFault> script;
    std::set<int> dead_slaves;  // never answer
    std::function<void()> before_read;  // runs as each read goes out
    int revive_after_requests = -1;  // the dead answer again after this many requests; -1: never
    std::map<int, oracle::RegisterBank> banks;  // per slave
    std::chrono::milliseconds answer_time{50};
    std::chrono::milliseconds timeout_time{1000};
    // What the line saw, in order: "read 1792/22 @slave", "write ...".
    std::vector<std::string> requests;
    int flushes = 0;
    int drains = 0;
    std::vector<int> timeouts;  // each response timeout set, in order

private:
    LineFault Next();

    FakeSteadyClock& clock_;
    int slave_ = 1;
    std::optional<std::vector<std::uint16_t>> in_flight_;  // a late answer on its way
    std::optional<std::vector<std::uint16_t>> late_;       // a late answer arrived, not yet read
    std::vector<std::uint8_t> write_;
    bool stray_ = false;
};
