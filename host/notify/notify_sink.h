// The web hooks' outlet: alarm rises and clears, meters failing and
// answering again, and faults of the history, posted to each hook that
// wants them. Each hook has a bounded queue and a thread of its own that
// posts in order and tries again with growing pauses while the hook is
// away or stalls; the outlet itself only renders and queues, so a hook
// never holds up the outlets' thread, let alone polling. A full queue lets
// its oldest event go, counted and said.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/config/settings.h"
#include "host/notify/notification.h"
#include "host/report/report.h"

struct HookCounts {
    std::string url;  // as shown: no path or query, which may hold a secret
    std::uint64_t delivered = 0, dropped = 0, refused = 0, failed_posts = 0;
    std::size_t held = 0;
};

class NotifySink : public Outlet {
public:
    // `first_pause`: after a failed post; doubled up to `longest_pause`.
    // Throws std::runtime_error when a hook's CA file cannot be read.
    NotifySink(const NotifySettings& settings, Notices& notices,
               std::chrono::milliseconds first_pause = std::chrono::seconds(1),
               std::chrono::milliseconds longest_pause = std::chrono::seconds(60));
    ~NotifySink() override;  // stops every hook; what is held is said and let go
    NotifySink(const NotifySink&) = delete;
    NotifySink& operator=(const NotifySink&) = delete;

    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Fault(const std::string& text, bool over) override;
    // Each hook gets up to its post deadline to deliver what it holds.
    void Finished() override;

    std::vector<HookCounts> Counts() const;  // any thread

private:
    class Hook;
    void Tell(const Notification& notification);

    std::vector<std::unique_ptr<Hook>> hooks_;
    std::map<std::uint32_t, bool> failing_;  // by data id: its last cycle failed; the outlet's thread only
    std::uint64_t sequence_ = 0;
    const std::string id_prefix_;  // this run's: ids stay unique across restarts
    const std::string host_;
};
