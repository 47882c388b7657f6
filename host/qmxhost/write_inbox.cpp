#include "host/qmxhost/write_inbox.h"

std::optional<std::future<std::int32_t>> WriteInbox::Submit(WriteRequest request) {
    const std::lock_guard<std::mutex> lock(inbox_mutex_);
    if (closed_ || pending_.size() >= kMostPending) return std::nullopt;
    pending_.push_back(Pending{std::move(request), {}});
    return pending_.back().status.get_future();
}

std::vector<WriteInbox::Pending> WriteInbox::TakeAll() {
    const std::lock_guard<std::mutex> lock(inbox_mutex_);
    std::vector<Pending> taken;
    taken.reserve(pending_.size());
    for (Pending& pending : pending_) taken.push_back(std::move(pending));
    pending_.clear();
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
