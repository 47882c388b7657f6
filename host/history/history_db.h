// The device history in SQLite (README.md, "History"), written by one
// process. Records and events are gathered in a batch and stored in one
// transaction together with their minute and hour aggregates and a small
// step of retention, so that the raw rows and their aggregates never
// disagree and no commit waits on a long delete. WAL with full sync: a
// commit is one fsync of the log, and a process killed or a power cut
// loses at most the batch not yet committed; the file stays whole.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// How many days each kind of row is kept; 0: for good.
struct HistoryWindows {
    int raw_days = 7;
    int minute_days = 3650;
    int hour_days = 0;
};

struct HistoryRow {
    std::int64_t t_ms = 0;  // when its cycle ended, UTC milliseconds since the epoch
    std::uint32_t device = 0;
    std::uint32_t data_id = 0;  // the data id the record was published under
    std::vector<unsigned char> record;
    // Each quantity of the meter view's table as the meter counts it, in the
    // table's order; none where the record holds none. The history stores
    // them as they are: it decodes nothing itself.
    std::vector<std::optional<std::int32_t>> counts;
};

// The counts of a record, for a row made outside a poll cycle (tools, tests).
std::vector<std::optional<std::int32_t>> history_counts_of(const std::vector<unsigned char>& record);
HistoryRow history_row(std::int64_t t_ms, std::uint32_t device, std::uint32_t data_id, std::vector<unsigned char> record);

struct HistoryEvent {
    std::int64_t t_ms = 0;
    std::uint32_t device = 0;
    std::string kind;  // "reload"
    std::optional<std::int64_t> record_t_ms;  // the time of the record it concerns
    std::string detail;
};

// A rule rising or clearing, as the history keeps it.
struct HistoryAlarm {
    std::int64_t t_ms = 0;  // the time of the cycle it changed in
    std::uint32_t device = 0;
    std::string key;
    bool up = false;
    int level = 0;
    std::optional<double> value;            // the quantity as measured
    std::optional<std::int64_t> compared;   // the whole number the device compared
    std::optional<double> threshold;
    std::string unit;
    std::string text;   // the controller's
    std::string label;  // in English; empty: none
};

// A file this process must not write: another program's database, a newer
// qmxhost's, or one another qmxhost writes now.
class HistoryRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class HistoryDb {
public:
    enum class Outcome { stored, busy, failed };
    static constexpr std::size_t kMostPending = 10000;  // rows; beyond them the oldest are dropped

    // Opens or creates the file, brings a file of the previous schema up to
    // this one, and takes the one-writer lock. Throws HistoryRefused for a
    // file it must not write. A file it cannot open now (a folder that is
    // not there, a full or read-only disk) is no error: rows are held, and
    // each commit tries to open it again.
    HistoryDb(std::string path, HistoryWindows windows = {}, int busy_ms = 250);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    void NameMeter(std::uint32_t device, const std::string& name);
    void Add(HistoryRow row);
    void AddEvent(HistoryEvent event);
    void AddAlarm(HistoryAlarm alarm);

    // One transaction: the pending rows and events, their aggregates and a
    // step of retention. Busy while another process holds the file's write
    // lock; failed for anything else (why in last_error()). Rows and events
    // not stored stay pending for the next commit.
    Outcome Commit();
    // The log written into the file and emptied, as at a clean exit.
    void Checkpoint();

    std::size_t pending() const { return rows_.size(); }
    // Nothing to commit.
    bool idle() const { return rows_.empty() && events_.empty() && alarms_.empty() && names_.empty(); }
    std::optional<std::int64_t> pending_since() const;  // the oldest pending row's time
    std::size_t dropped() const { return dropped_; }
    const std::string& last_error() const { return last_error_; }
    bool open() const { return db_ != nullptr; }

    struct Stored {
        std::vector<unsigned char> record;
        std::int64_t t_ms;
    };
    // The newest record stored for the device.
    std::optional<Stored> Newest(std::uint32_t device);

private:
    struct CloseDb {
        void operator()(sqlite3* db) const;
    };
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const;
    };
    using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

    void Open();
    void Close();
    void TakeWriterLock();
    void CheckWhole();
    void CreateOrMigrate();
    void Migrate();
    void Exec(const std::string& sql);
    Statement Prepare(const std::string& sql);
    [[noreturn]] void Fail(const std::string& what) const;
    // Inside an open transaction: rows, their aggregates, events.
    void Write(const std::vector<HistoryRow>& rows, const std::vector<HistoryEvent>& events);
    void WriteQuarters(const std::vector<HistoryRow>& rows);
    void WriteAlarms();
    void PrepareWrites();
    void Prune(std::int64_t now_ms);
    void PrepareUpkeep();
    void Name(std::uint32_t device, const std::string& name);  // inside a transaction
    void NameWriter();                                          // inside a transaction

    std::string path_;
    HistoryWindows windows_;
    int busy_ms_;
    int lock_fd_ = -1;
    std::unique_ptr<sqlite3, CloseDb> db_;  // declared before the statements: closed after them
    Statement insert_raw_, upsert_minute_, upsert_hour_, upsert_quarter_, insert_event_, insert_alarm_, name_meter_;
    Statement counters_before_;  // a meter's newest raw row before a time: its counters
    Statement prune_[5];  // raw, minute, hour, alarms, quarters (kept as long as the minutes)
    std::set<std::uint32_t> devices_;  // the meters the file knows
    std::deque<HistoryRow> rows_;
    std::vector<HistoryEvent> events_;
    std::vector<HistoryAlarm> alarms_;
    std::vector<std::pair<std::uint32_t, std::string>> names_;
    std::size_t dropped_ = 0;
    bool writer_named_ = false;
    std::string last_error_;
};
