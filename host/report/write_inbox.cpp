#include "host/report/write_inbox.h"

#include <algorithm>

bool WriteInbox::Submit(WriteRequest request, Done done) {
    const std::lock_guard<std::mutex> lock(inbox_mutex_);
    const auto same_meter = [&request](const Pending& p) { return p.request.device == request.device; };
    if (closed_ || static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(), same_meter)) >= kMostPending) {
        return false;
    }
    pending_.push_back(Pending{std::move(request), std::move(done)});
    return true;
}

std::optional<std::future<std::int32_t>> WriteInbox::Submit(WriteRequest request) {
    // Shared, as std::function wants a copyable callable; dropping the last
    // copy unanswered breaks the promise, which is what the future reports.
    auto promise = std::make_shared<std::promise<std::int32_t>>();
    std::future<std::int32_t> status = promise->get_future();
    if (!Submit(std::move(request), [promise](std::int32_t s) { promise->set_value(s); })) return std::nullopt;
    return status;
}

std::vector<WriteInbox::Pending> WriteInbox::Take(const std::function<bool(std::uint32_t data_id)>& ours) {
    const std::lock_guard<std::mutex> lock(inbox_mutex_);
    std::vector<Pending> taken;
    for (auto pending = pending_.begin(); pending != pending_.end();) {
        if (!ours(pending->request.device)) {
            ++pending;
            continue;
        }
        taken.push_back(std::move(*pending));
        pending = pending_.erase(pending);
    }
    return taken;
}

void WriteInbox::Close() {
    std::deque<Pending> given_up;
    {
        const std::lock_guard<std::mutex> lock(inbox_mutex_);
        closed_ = true;
        given_up.swap(pending_);
    }
}
