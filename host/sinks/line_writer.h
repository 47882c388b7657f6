// Lines for an output that may stop taking them (a stalled journal, a pipe
// nobody reads, a terminal on hold): written by a thread of their own from
// a bounded queue, so that whoever hands them over never waits. Lines that
// find the queue full are not written: they are counted, and said once per
// change (blocked, flowing again) on the side channel, standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class LineWriter {
public:
    static constexpr std::size_t kMostQueued = 1 << 20;  // bytes waiting; beyond them lines are not written

    // `fd` is written with write(2) and stays open. `tell` says what happened
    // to the output (any thread); `gone` is called once when the output
    // refuses every write (its reader went: EPIPE).
    LineWriter(int fd, std::function<void(const std::string&)> tell, std::function<void()> gone,
               std::size_t most_queued = kMostQueued);
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Whole lines, each ending in '\n'; never waits.
    void Write(std::string lines);
    // Lines not written so far: dropped while the queue was full, or after the output went.
    std::size_t lost() const;
    // Waits up to `patience` for everything queued to be written. An output
    // still blocked then is left to its thread, which ends with the process;
    // what it holds is counted as lost. Idempotent.
    void Close(std::chrono::milliseconds patience);

private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this
};
