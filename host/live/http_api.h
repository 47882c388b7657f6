// The bench host's HTTP API and page, as a function from a parsed request
// to a response, apart from any server: what the HTTP library hands over is
// answered here, so that tests and the fuzzer reach every route directly.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/access/access.h"
#include "host/common/site_zone.h"
#include "host/config/settings.h"
#include "host/http/http_types.h"
#include "host/live/live_state.h"
#include "host/report/forward_status.h"
#include "host/report/history_health.h"
#include "host/report/write_inbox.h"

struct ApiOptions {
    bool allow_writes = false;
    std::string history_path;  // empty: no history
    // How long a write may wait for the poll loop and the meter's answer.
    std::chrono::milliseconds write_timeout{10000};
    // What a request's Host may name: a page another site's name resolves
    // to here is refused, not served. Lower case, IPv6 in brackets.
    std::vector<std::string> hosts{"127.0.0.1", "localhost", "[::1]"};
    bool reads_need_login = false;
    bool writes_need_login = false;
    MetricsAccess metrics = MetricsAccess::on;
    std::string version;  // of qmxhost, for /metrics
    const ForwardStatus* forward = nullptr;  // the history's way to a central database; none: not forwarded
    const HistoryHealth* history = nullptr;  // how the history's last batch fared; none: no history
    double interval_seconds = 1;             // of the poll cycles, for /healthz
    SiteZone zone;                           // the site's: local times, days and months
};

class EnergyHistory;

class HttpApi : public HttpHandler {
public:
    // `access` knows the users and their sessions; it must outlive this.
    HttpApi(LiveState& live, WriteInbox& inbox, ApiOptions options, Access& access);
    ~HttpApi() override;

    ApiResponse Handle(const ApiRequest& request) override;
    bool Heavy(const ApiRequest& request) const override;

    static constexpr int kMostHistoryRows = 5000;
    // /healthz: a line is late past three intervals and this.
    static constexpr double kHealthAllowanceSeconds = 2;
    static constexpr int kMostExportRows = 100000;  // about 60 MB of raw rows as CSV, made as it is taken
    static constexpr std::size_t kPieceBytes = 64 * 1024;  // of a history answer, made while the last goes out
    // Periods one energy answer holds: hours, days, weeks, months; and demand's intervals (a month of quarter hours).
    static constexpr std::size_t kMostEnergyPeriods[] = {5000, 400, 260, 120};
    static constexpr std::size_t kMostDemandIntervals = 3000;

private:
    ApiResponse Devices();
    ApiResponse Device(std::uint32_t id);
    ApiResponse History(std::uint32_t id, const ApiRequest& request, bool csv);
    // Every rise and clear of the meter's alarm rules, oldest first: the
    // newest `limit` (100) between from and to.
    ApiResponse Alarms(std::uint32_t id, const ApiRequest& request);
    // A meter's energy per hour, day, week or month of the site's clock,
    // from its counters; its demand per 15, 30 or 60 minutes and the peak;
    // every meter's energy over a day or month with the month's peak.
    ApiResponse Energy(std::uint32_t id, const ApiRequest& request);
    ApiResponse Demand(std::uint32_t id, const ApiRequest& request);
    ApiResponse SiteEnergy(const ApiRequest& request);
    ApiResponse Write(std::uint32_t id, const ApiRequest& request, const std::optional<Access::Caller>& caller);
    // The checks before any route: the Host, the Origin of what changes
    // something, the login; a refusal, or none.
    std::optional<ApiResponse> Gate(const ApiRequest& request, const std::optional<Access::Caller>& caller) const;
    ApiResponse Session(const std::optional<Access::Caller>& caller) const;
    ApiResponse LogIn(const ApiRequest& request);
    ApiResponse Health() const;
    ApiResponse LogOut(const ApiRequest& request);
    // A meter's view without its freshness (its whole detail, or what the
    // site's overview shows), rendered again only after the meter changed;
    // shared, so that a request holds the lock only to take it.
    enum class View { glance, detail };
    std::shared_ptr<const std::string> ViewText(View view, std::uint32_t id, std::uint64_t version);
    // The history opened for energy answers, kept for the next: opening
    // it (its schema read, its statements made) was an eighth of a demand
    // answer. Taking opens one when none is kept (throws
    // std::runtime_error); at most kKeptEnergyHistories are kept.
    std::unique_ptr<EnergyHistory> TakeEnergyHistory();
    void KeepEnergyHistory(std::unique_ptr<EnergyHistory> history);
    static constexpr std::size_t kKeptEnergyHistories = 4;

    LiveState& live_;
    WriteInbox& inbox_;
    Access& access_;
    const ApiOptions options_;
    struct Rendered {
        std::uint64_t version = 0;
        std::shared_ptr<const std::string> text;  // compact JSON object
    };
    std::mutex render_mutex_;  // guards rendered_
    std::map<std::pair<View, std::uint32_t>, Rendered> rendered_;
    std::mutex energy_mutex_;  // guards idle_energy_
    std::vector<std::unique_ptr<EnergyHistory>> idle_energy_;
};

