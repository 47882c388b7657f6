#include "tests/support/scripted_line.h"

#include <modbus.h>

LineFault ScriptedLine::Next() {
    if (script.empty()) return LineFault::none;
    const LineFault fault = script.front();
    script.pop_front();
    return fault;
}

int ScriptedLine::ReadRegisters(int address, int count, std::uint16_t* destination) {
    requests.push_back("read " + std::to_string(address) + "/" + std::to_string(count) + " @" +
                       std::to_string(slave_));
    if (before_read) before_read();
    if (revive_after_requests >= 0 && static_cast<int>(requests.size()) > revive_after_requests) dead_slaves.clear();
    if (dead_slaves.count(slave_) != 0) {
        clock_.Advance(timeout_time);
        return -ETIMEDOUT;
    }
    // An answer left on the line from before is read first, and passes
    // libmodbus's checks when it has the register count asked for.
    if (late_) {
        clock_.Advance(answer_time);
        const std::vector<std::uint16_t> stale = *late_;
        late_.reset();
        if (static_cast<int>(stale.size()) != count) return -EMBBADDATA;
        std::copy(stale.begin(), stale.end(), destination);
        return count;
    }
    if (stray_) {
        clock_.Advance(answer_time);
        stray_ = false;
        std::fill(destination, destination + count, std::uint16_t{0xDEAD});
        return count;
    }
    const std::vector<std::uint16_t> block = banks[slave_].Block(address, count);
    switch (Next()) {
        case LineFault::stray_after: stray_ = true; break;
        case LineFault::timeout: clock_.Advance(timeout_time); return -ETIMEDOUT;
        case LineFault::late: {
            clock_.Advance(timeout_time);
            std::vector<std::uint16_t> stale = block;
            for (std::uint16_t& v : stale) v = static_cast<std::uint16_t>(v ^ 0x5A5A);
            in_flight_ = stale;
            return -ETIMEDOUT;
        }
        case LineFault::crc: clock_.Advance(answer_time); return -EMBBADCRC;
        case LineFault::short_refused: clock_.Advance(answer_time); return -EMBBADDATA;
        case LineFault::exception: clock_.Advance(answer_time); return -EMBXSFAIL;
        case LineFault::gateway_silent: clock_.Advance(timeout_time); return -EMBXGTAR;
        case LineFault::short_passed:
            clock_.Advance(answer_time);
            std::copy(block.begin(), block.end() - 1, destination);
            return count - 1;
        default: break;
    }
    clock_.Advance(answer_time);
    std::copy(block.begin(), block.end(), destination);
    return count;
}

int ScriptedLine::SendRawRequest(const std::uint8_t* request, int length) {
    write_.assign(request, request + length);
    requests.push_back("write " + std::to_string((request[2] << 8) | request[3]) + " fc" + std::to_string(request[1]) +
                       " @" + std::to_string(request[0]));
    return length + 2;
}

int ScriptedLine::ReceiveConfirmation(std::uint8_t* answer) {
    clock_.Advance(answer_time);
    if (dead_slaves.count(write_.at(0)) != 0) return -ETIMEDOUT;
    const LineFault fault = Next();
    if (fault == LineFault::timeout) return -ETIMEDOUT;
    if (fault == LineFault::exception || fault == LineFault::gateway_silent) {
        answer[0] = write_[0];
        answer[1] = static_cast<std::uint8_t>(write_[1] | 0x80);
        answer[2] = fault == LineFault::exception ? MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS : MODBUS_EXCEPTION_GATEWAY_TARGET;
        return 5;
    }
    // The echo: slave, function, address, then value (6) or count (16).
    for (int i = 0; i < 6; ++i) answer[i] = write_.at(static_cast<std::size_t>(i));
    if (fault == LineFault::echo_of_other_address) answer[3] = static_cast<std::uint8_t>(answer[3] + 1);
    if (fault == LineFault::echo_from_other_slave) answer[0] = static_cast<std::uint8_t>(answer[0] + 1);
    return 8;
}
