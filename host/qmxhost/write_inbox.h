// Writes asked for from other threads, carried out by the poll loop between
// cycles so that they never interleave with a cycle's requests.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "host/qmxhost/write_request.h"

class WriteInbox {
public:
    static constexpr std::size_t kMostPending = 8;

    struct Pending {
        WriteRequest request;
        std::promise<std::int32_t> status;  // the device's write status afterwards
    };

    // The status once the poll loop has carried the write out; none when
    // kMostPending writes are already waiting or the inbox is closed.
    std::optional<std::future<std::int32_t>> Submit(WriteRequest request);
    // Poll thread: every write waiting, oldest first.
    std::vector<Pending> TakeAll();
    // Once polling has ended: the writes still waiting are given up (their
    // futures throw std::future_error at once) and no more are taken.
    void Close();

private:
    std::mutex inbox_mutex_;  // guards pending_ and closed_
    std::deque<Pending> pending_;
    bool closed_ = false;
};
