// The box's history as the forwarder reads it: a connection of its own to
// the file, each table's rows after its mark as COPY text under the site
// id, and the marks themselves, kept in the file's table `forwarded` under
// the central database's id. Reads are short transactions of their own and
// never span a network call; writing the marks is one short transaction
// that waits out the history's own commits (the busy timeout).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

// How far each kind of row has reached the central database.
struct ForwardMarks {
    std::int64_t raw = 0, events = 0, alarms = 0;  // the last id forwarded
    std::int64_t minute = 0, hour = 0;             // every bucket that starts before this (UTC ms) is forwarded

    bool operator==(const ForwardMarks& o) const {
        return raw == o.raw && events == o.events && alarms == o.alarms && minute == o.minute && hour == o.hour;
    }
    bool operator!=(const ForwardMarks& o) const { return !(*this == o); }
};

// One round's rows, per table of central_tables() (host/forward/central_schema.h).
struct ForwardBatch {
    std::vector<std::string> copy;   // COPY text, the site first in every line
    std::vector<std::size_t> rows;
    std::set<std::int64_t> months;   // the first millisecond of each month a row falls in
    ForwardMarks next;               // the marks once these rows are central
    std::int64_t expired = 0;        // raw records gone from the file before they were forwarded
    bool full = false;               // more waits: the next round follows at once

    std::size_t Total() const;
};

// Raw records the central database has not yet.
struct Backlog {
    std::int64_t records = 0;
    std::int64_t oldest_ms = 0;  // 0: none
};

class ForwardSource {
public:
    static constexpr std::size_t kRowsPerRound = 5000;  // of raw rows, events or alarms

    // Throws std::runtime_error when the file cannot be read as a history now.
    ForwardSource(const std::string& path, std::string site);
    ~ForwardSource();
    ForwardSource(const ForwardSource&) = delete;
    ForwardSource& operator=(const ForwardSource&) = delete;

    ForwardMarks Marks(const std::string& target);
    // The rows after `marks`. An aggregate's bucket is forwarded once it is
    // closed, once it ends by `closed_before_ms`; none: up to the newest
    // bucket, open ones too (the run's last round). A bucket that a record
    // came late to, after the bucket had gone, goes again with the record.
    ForwardBatch Read(const ForwardMarks& marks, std::optional<std::int64_t> closed_before_ms);
    // Throws std::runtime_error when they cannot be written now.
    void Keep(const std::string& target, const ForwardMarks& marks);
    Backlog Behind(const ForwardMarks& marks);
    std::vector<std::pair<std::int64_t, std::string>> Meters();

private:
    struct CloseDb {
        void operator()(sqlite3* db) const;
    };
    void Exec(const std::string& sql);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string path_;
    std::string site_;
    std::unique_ptr<sqlite3, CloseDb> db_;
};
