// The serial line between the host and the simulated meters: routes each
// request to the meter it addresses, passes the answers back, and is where
// line faults and the line's byte timing are made.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <vector>

#include "sim/answer_faults.h"
#include "sim/sim_log.h"

struct LineTiming {
    bool emulate = false;  // pace bytes as the configured line would
    int baud = 9600;
    int bits_per_char = 10;  // start + 8 data + parity + stop bits
};

class LineRelay {
public:
    struct Meter {
        int slave;
        int fd;
    };

    LineRelay(int line_fd, std::vector<Meter> meters, LineFaults faults, LineTiming timing, SimLog& log);

    // Relays until `keep_running` turns false.
    void Run(const std::atomic<bool>& keep_running);

    // The longest a request may wait for its answer here: the meter's time,
    // a held-back answer's and, when paced, both frames on the wire.
    int LongestAnswerMs() const;

private:
    std::vector<std::uint8_t> ReadFrame(int fd, int first_wait_ms, bool answer);
    void Send(int fd, const std::vector<std::uint8_t>& frame);
    void Answer(const Meter& meter, const std::atomic<bool>& keep_running);
    std::chrono::nanoseconds CharTime() const;

    int line_fd_;
    std::vector<Meter> meters_;
    AnswerFaults faults_;
    LineTiming timing_;
    SimLog& log_;
};
