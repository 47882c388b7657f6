// Writes asked for from other threads, carried out by the poll loop between
// cycles so that they never interleave with a cycle's requests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "host/config/write_request.h"

class WriteInbox {
public:
    static constexpr std::size_t kMostPending = 8;  // per meter: a slow line's writes never hold up another's

    // Told the device's write status afterwards, on the poll thread.
    using Done = std::function<void(std::int32_t status)>;
    struct Pending {
        WriteRequest request;
        Done done;
    };

    // False when kMostPending writes are already waiting for that meter or
    // the inbox is closed. A write given up at Close is never told.
    bool Submit(WriteRequest request, Done done);
    // The status once the poll loop has carried the write out (a future that
    // throws std::future_error when the write was given up); none as above.
    std::optional<std::future<std::int32_t>> Submit(WriteRequest request);
    // A line's poll thread: every write waiting for one of its meters
    // (`ours` says which data ids are), oldest first.
    std::vector<Pending> Take(const std::function<bool(std::uint32_t data_id)>& ours);
    // Once polling has ended: the writes still waiting are given up and no
    // more are taken.
    void Close();

private:
    std::mutex inbox_mutex_;  // guards pending_ and closed_
    std::deque<Pending> pending_;
    bool closed_ = false;
};
