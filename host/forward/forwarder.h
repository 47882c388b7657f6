// The box's history forwarded to a central PostgreSQL, on a thread of its
// own, beside the run and never in its way: it reads the file through a
// connection of its own (the history outlet writes it), sends each round's
// rows in one central transaction, and only after that commit moves its
// marks in the file, so that a round cut short anywhere is sent again,
// which the central keys make harmless. A database that is down,
// unreachable, refusing the login, read-only or full costs polling and the
// file nothing: the forwarder says so once per change, backs off (1 s
// doubling to 5 min) and resumes from its marks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/forward/forward_source.h"
#include "host/report/forward_status.h"
#include "host/report/report.h"

class CentralLink;

struct ForwardSettings {
    std::string uri;           // postgresql://…, no password in it
    std::string history;       // the box's file
    std::string site;          // the run's site id
    std::string machine_id;    // who holds the site id
    std::string host_name;
    std::string version;       // qmxhost's
    std::string time_zone;     // the box's, for the central views' local_time
    double batch_seconds = 5;  // how late a record reaches the file: the history's batch
};

class Forwarder {
public:
    static constexpr std::chrono::seconds kLongestPause{300};
    static constexpr std::chrono::milliseconds kIdle{1000};       // between looks at a file that is forwarded
    static constexpr std::chrono::seconds kLastRound{5};          // the most a stop waits for the last round

    // Starts its thread. `status` and `notices` must outlive it.
    Forwarder(ForwardSettings settings, ForwardStatus& status, Notices& notices);
    ~Forwarder();  // stops at once
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // After the history outlet stored its last records: one last round, the
    // open buckets with it, if the database is there and it takes no longer
    // than kLastRound; then the thread ends.
    void Finish();

private:
    void Run();
    void Connect();
    bool Round(bool last);  // whether more waits
    void Measure();         // the backlog, for the status
    // With `fault_over`, a fault of the forwarding (false) or its end (true):
    // what a web hook hears.
    void Say(const std::string& text, std::optional<bool> fault_over = std::nullopt);
    void Trouble(const std::string& text);
    bool Rest(std::chrono::milliseconds pause);  // false once it must end
    bool GivingUp() const;

    const ForwardSettings settings_;
    const std::string where_;  // the database as messages name it
    ForwardStatus& status_;
    Notices& notices_;
    std::unique_ptr<ForwardSource> source_;
    std::unique_ptr<CentralLink> central_;
    std::string target_;   // the central database's id
    std::string marks_target_;  // the one marks_ are of
    ForwardMarks marks_;   // as far as the central database has them
    bool marks_kept_ = true;  // the file holds marks_
    std::vector<std::pair<std::int64_t, std::string>> meters_sent_;
    std::set<std::int64_t> months_;  // partitions known to be there
    std::string said_;      // the last notice, said once
    bool troubled_ = false;
    bool announced_ = false;  // the first connect was said
    std::uint64_t expired_unsaid_ = 0;

    mutable std::mutex run_mutex_;  // guards finishing_, ending_ and last_round_by_
    std::condition_variable wake_;
    bool finishing_ = false;  // the last round is wanted
    bool ending_ = false;     // the thread must end now
    std::chrono::steady_clock::time_point last_round_by_{};
    std::thread thread_;  // last: it starts once the rest is made
};

// The box's time zone as the tz database names it (Europe/Berlin), for the
// central views; UTC when it cannot be told.
std::string local_time_zone();

// `qmxhost history forward --init URI`: makes the central schema, or brings
// it up to this version, as the database's owner would; what it did, for
// people. Throws std::runtime_error with why it could not.
std::string init_central_history(const std::string& uri);
