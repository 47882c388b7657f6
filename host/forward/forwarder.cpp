#include "host/forward/forwarder.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "host/common/clock.h"
#include "host/config/endpoints.h"
#include "host/forward/central_link.h"
#include "host/forward/central_schema.h"

namespace {

const std::string kSchema = kCentralSchema;

// The site id is another machine's in the central history.
class SiteTaken : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string cell(const CentralLink::Rows& rows, std::size_t row, std::size_t column) {
    return row < rows.size() && column < rows[row].size() && rows[row][column] ? *rows[row][column] : "";
}

}  // namespace

std::string local_time_zone() {
    std::string zone;
    if (const char* tz = std::getenv("TZ"); tz != nullptr) zone = tz[0] == ':' ? tz + 1 : tz;
    if (zone.empty()) {
        char link[PATH_MAX] = "";
        const ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
        if (n > 0) zone.assign(link, static_cast<std::size_t>(n));
    }
    if (zone.empty()) std::getline(std::ifstream("/etc/timezone"), zone);
    // A path into the zone files names its zone by what follows their folder.
    if (const std::size_t at = zone.find("zoneinfo/"); at != std::string::npos) zone = zone.substr(at + 9);
    return zone.empty() || zone[0] == '/' ? "UTC" : zone;
}

Forwarder::Forwarder(ForwardSettings settings, ForwardStatus& status, Notices& notices)
    : settings_(std::move(settings)), where_(central_uri_text(settings_.uri)), status_(status), notices_(notices),
      thread_([this] { Run(); }) {
    pthread_setname_np(thread_.native_handle(), "forward");
}

Forwarder::~Forwarder() {
    {
        const std::lock_guard<std::mutex> lock(run_mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Forwarder::Finish() {
    {
        const std::lock_guard<std::mutex> lock(run_mutex_);
        finishing_ = true;
        last_round_by_ = std::chrono::steady_clock::now() + kLastRound;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Forwarder::GivingUp() const {
    const std::lock_guard<std::mutex> lock(run_mutex_);
    return ending_ || (finishing_ && std::chrono::steady_clock::now() > last_round_by_);
}

bool Forwarder::Rest(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(run_mutex_);
    wake_.wait_for(lock, pause, [this] { return ending_ || finishing_; });
    return !ending_;
}

void Forwarder::Say(const std::string& text, std::optional<bool> fault_over) {
    // A database away for an hour is one notice, not one per retry.
    if (text == said_) return;
    said_ = text;
    if (fault_over) {
        notices_.SayFault(text, *fault_over);
    } else {
        notices_.Say(text);
    }
}

void Forwarder::Trouble(const std::string& text) {
    troubled_ = true;
    status_.Update([&text](ForwardFigures& f) {
        f.forwarding = false;
        f.problem = text;
    });
    Say("forward: " + text + "; polling and the history go on, forwarding is tried again (pauses up to " +
                 std::to_string(kLongestPause.count() / 60) + " min)",
             false);
}

void Forwarder::Run() {
    std::chrono::milliseconds pause{1000};
    for (;;) {
        bool last = false;
        {
            const std::lock_guard<std::mutex> lock(run_mutex_);
            if (ending_) return;
            last = finishing_;
        }
        // No last round without a database to take it.
        if (last && (!central_ || !source_ || GivingUp())) return;
        bool more = false;
        try {
            if (!source_) source_ = std::make_unique<ForwardSource>(settings_.history, settings_.site);
            if (!central_) Connect();
            more = Round(last);
            pause = std::chrono::milliseconds(1000);
            // Well again once a round went through, not merely a connect.
            if (troubled_) {
                Say("forward: forwarding to " + where_ + " again; " + std::to_string(source_->Behind(marks_).records) +
                             " raw record(s) to send",
                         true);
                troubled_ = false;
            }
        } catch (const std::exception& e) {
            central_.reset();
            if (GivingUp()) return;
            const auto* central = dynamic_cast<const CentralError*>(&e);
            if (central == nullptr && dynamic_cast<const SiteTaken*>(&e) == nullptr) source_.reset();
            Trouble(central != nullptr ? where_ + ": " + e.what() : e.what());
            // The backlog grows meanwhile: the page and /metrics see it grow.
            for (auto rested = std::chrono::milliseconds(0); rested < pause; rested += kIdle) {
                Measure();
                if (!Rest(std::min(kIdle, pause - rested))) return;
                const std::lock_guard<std::mutex> lock(run_mutex_);
                if (finishing_) break;
            }
            pause = std::min(std::chrono::milliseconds(pause * 2), std::chrono::milliseconds(kLongestPause));
            continue;
        }
        if (last && !more) return;
        if (!more && !Rest(kIdle)) return;
    }
}

void Forwarder::Connect() {
    central_ = std::make_unique<CentralLink>(settings_.uri, [this] { return GivingUp(); });
    CentralLink& db = *central_;
    // The schema: made, or brought up to this version, by the first box
    // that finds it older; one newer than ours is left alone.
    int version = 0;
    try {
        version = std::stoi(cell(db.Query("SELECT version FROM " + kSchema + ".central"), 0, 0));
    } catch (const CentralError& e) {
        if (e.sqlstate != "42P01" && e.sqlstate != "3F000") throw;  // no such table, no such schema
    } catch (const std::invalid_argument&) {
    }
    if (version > kCentralSchemaVersion) {
        throw CentralError("its schema is version " + std::to_string(version) + ", newer than this qmxhost's " +
                               std::to_string(kCentralSchemaVersion) + ": upgrade qmxhost",
                           false);
    }
    if (version < kCentralSchemaVersion) {
        try {
            db.Query("BEGIN");
            for (const std::string& sql : central_schema_sql()) db.Query(sql);
            db.Query("COMMIT");
        } catch (const CentralError& e) {
            if (e.sqlstate != "42501") throw;
            throw CentralError(std::string(e.what()) + ": this login may not make the central schema; have its owner "
                                                       "run qmxhost history forward --init URI once",
                               false);
        }
    }
    target_ = cell(db.Query("SELECT id FROM " + kSchema + ".central"), 0, 0);
    // The site id is one machine's: a second box that claims it is refused.
    const auto claimed = db.Query(
        "INSERT INTO " + kSchema + ".sites (site, host, machine_id, version, time_zone, last_contact) "
        "VALUES ($1, $2, $3, $4, CASE WHEN EXISTS (SELECT FROM pg_timezone_names WHERE name = $5) THEN $5 ELSE 'UTC' "
        "END, now()) ON CONFLICT (site) DO UPDATE SET host = excluded.host, version = excluded.version, "
        "time_zone = excluded.time_zone, last_contact = now() WHERE sites.machine_id = excluded.machine_id "
        "RETURNING site",
        {settings_.site, settings_.host_name, settings_.machine_id, settings_.version, settings_.time_zone});
    if (claimed.empty()) {
        const auto holder =
            db.Query("SELECT host, machine_id, last_contact FROM " + kSchema + ".sites WHERE site = $1", {settings_.site});
        throw SiteTaken("site id " + settings_.site + " is held in " + where_ + " by another machine (host " +
                        cell(holder, 0, 0) + ", machine id " + cell(holder, 0, 1) + ", last contact " + cell(holder, 0, 2) +
                        "); this box's machine id is " + settings_.machine_id +
                        ": give this box a site id of its own (site in the configuration, or --site)");
    }
    for (const CentralTable& table : central_tables()) {
        db.Query("CREATE TEMPORARY TABLE " + table.name + "_in (LIKE " + kSchema + "." + table.name +
                 ") ON COMMIT DELETE ROWS");
    }
    // Marks not yet kept in the file are ahead of those in it; a new
    // database starts afresh.
    if (marks_kept_ || target_ != marks_target_) marks_ = source_->Marks(target_);
    marks_target_ = target_;
    meters_sent_.clear();
    months_.clear();
    if (!announced_) {
        Say("forward: forwarding the history to " + where_ + " as site " + settings_.site + "; " +
            std::to_string(source_->Behind(marks_).records) + " raw record(s) to send");
        announced_ = true;
    }
}

void Forwarder::Measure() {
    if (!source_) return;
    try {
        const Backlog backlog = source_->Behind(marks_);
        status_.Update([&backlog](ForwardFigures& f) {
            f.records_behind = backlog.records;
            f.oldest_behind_ms = backlog.oldest_ms;
        });
    } catch (const std::runtime_error&) {
        // Told with the next round's trouble.
    }
}

bool Forwarder::Round(bool last) {
    CentralLink& db = *central_;
    // A bucket is closed once every record of it is in the file: the
    // history stores a batch at a time, some seconds late.
    const std::int64_t grace_ms = static_cast<std::int64_t>(settings_.batch_seconds * 1000) + 10000;
    ForwardBatch batch = source_->Read(marks_, last ? std::nullopt : std::optional<std::int64_t>(utc_now_ms() - grace_ms));
    if (batch.expired > 0) {
        expired_unsaid_ += static_cast<std::uint64_t>(batch.expired);
        status_.Update([&batch](ForwardFigures& f) { f.expired += static_cast<std::uint64_t>(batch.expired); });
    } else if (expired_unsaid_ > 0) {
        Say("forward: " + std::to_string(expired_unsaid_) +
            " raw records expired before they reached the central history (the raw window deleted them first); "
            "their minutes and hours are forwarded");
        expired_unsaid_ = 0;
    }
    const auto meters = source_->Meters();
    if (batch.Total() > 0 || meters != meters_sent_) {
        for (const std::int64_t month : batch.months) {
            if (months_.count(month) != 0) continue;
            db.Query("SELECT " + kSchema + ".add_month($1)", {utc_text(month)});
            months_.insert(month);
        }
        db.Query("BEGIN");
        // The site must still be this machine's when the rows land.
        if (db.Query("UPDATE " + kSchema + ".sites SET last_contact = now() WHERE site = $1 AND machine_id = $2 RETURNING site",
                     {settings_.site, settings_.machine_id})
                .empty()) {
            throw SiteTaken("site id " + settings_.site + " is no longer this machine's in " + where_);
        }
        if (meters != meters_sent_) {
            for (const auto& [device, name] : meters) {
                db.Query("INSERT INTO " + kSchema + ".meters (site, device, name) VALUES ($1, $2, $3) ON CONFLICT "
                         "(site, device) DO UPDATE SET name = excluded.name WHERE excluded.name != ''",
                         {settings_.site, std::to_string(device), name});
            }
        }
        const std::vector<CentralTable>& tables = central_tables();
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (batch.rows[i] == 0) continue;
            std::string columns = "site";
            for (const std::string& column : tables[i].columns) columns += ", " + column;
            db.Copy("COPY pg_temp." + tables[i].name + "_in (" + columns + ") FROM STDIN", batch.copy[i]);
            db.Query(central_merge_sql(tables[i]));
        }
        db.Query("COMMIT");
        meters_sent_ = meters;
        status_.Update([&batch](ForwardFigures& f) {
            f.forwarded += batch.Total();
            f.last_commit_ms = utc_now_ms();
        });
    }
    // Only now that the central database has them.
    if (batch.next != marks_) {
        marks_ = batch.next;
        try {
            source_->Keep(target_, marks_);
            if (!marks_kept_) Say("forward: its marks are kept in " + settings_.history + " again");
            marks_kept_ = true;
        } catch (const std::runtime_error& e) {
            marks_kept_ = false;
            Say(std::string("forward: ") + e.what() + "; what went since is sent again after a restart, harmlessly");
        }
    }
    status_.Update([](ForwardFigures& f) {
        f.forwarding = true;
        f.problem.clear();
    });
    Measure();
    return batch.full;
}

std::string init_central_history(const std::string& uri) {
    CentralLink db(uri, [] { return false; });
    const auto version = db.Query("SELECT to_regclass($1)", {kSchema + ".central"});
    if (!cell(version, 0, 0).empty()) {
        const int found = std::stoi(cell(db.Query("SELECT version FROM " + kSchema + ".central"), 0, 0));
        if (found > kCentralSchemaVersion) {
            throw std::runtime_error(central_uri_text(uri) + ": its schema is version " + std::to_string(found) +
                                     ", newer than this qmxhost's " + std::to_string(kCentralSchemaVersion));
        }
    }
    db.Query("BEGIN");
    for (const std::string& sql : central_schema_sql()) db.Query(sql);
    db.Query("COMMIT");
    return "central history " + central_uri_text(uri) + ": schema " + kSchema + " at version " +
           std::to_string(kCentralSchemaVersion) + ", database id " +
           cell(db.Query("SELECT id FROM " + kSchema + ".central"), 0, 0);
}
