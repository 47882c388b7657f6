#include "host/live/http_api.h"

#include <json/reader.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "host/live/device_view.h"
#include "host/metrics/metrics_text.h"
#include "host/common/json_text.h"
#include "host/live/web_assets.h"
#include "host/energy/energy.h"
#include "host/history/history_reader.h"
#include "host/meter_view/meter_readings.h"
#include "host/config/write_request.h"

namespace {

ApiResponse json_response(const Json::Value& value, int status = 200) {
    ApiResponse response;
    response.status = status;
    response.body = compact_json(value);
    return response;
}

ApiResponse not_allowed(const char* allow) {
    ApiResponse response = api_error(405, std::string("method not allowed here; use ") + allow);
    response.allow = allow;
    return response;
}

std::vector<std::string> segments_of(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t at = 1;
    while (at <= path.size()) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        segments.push_back(path.substr(at, end - at));
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return segments;
}

// What people typed, short enough to quote back in a message.
std::string quoted(const std::string& text) {
    if (text.size() <= 40) return "\"" + text + "\"";
    // Cut before a character, not inside one.
    std::size_t cut = 40;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return "\"" + text.substr(0, cut) + "…\"";
}

// A data id: 1 to 10 digits, at most 4294967295.
bool parse_id(const std::string& text, std::uint32_t& id) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    id = static_cast<std::uint32_t>(value);
    return true;
}

bool is_json_type(const std::string& content_type) {
    const std::string type = content_type.substr(0, content_type.find(';'));
    std::string lower;
    for (char c : type) {
        if (c != ' ' && c != '\t') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return lower == "application/json";
}

// "name", "name:port", "[v6]" or "[v6]:port", the name one of `hosts`,
// case aside. Another site's name is what a rebinding attack brings.
bool host_named(const std::string& header, const std::vector<std::string>& hosts) {
    std::string name = header;
    const std::size_t colon = header.rfind(':');
    if (colon != std::string::npos && header.find(']', colon) == std::string::npos) name = header.substr(0, colon);
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return std::find(hosts.begin(), hosts.end(), name) != hosts.end();
}


const std::string* single_param(const ApiRequest& request, const std::string& name, bool& repeated) {
    const auto range = request.params.equal_range(name);
    if (range.first == range.second) return nullptr;
    repeated = std::next(range.first) != range.second;
    return &range.first->second;
}

}  // namespace

HttpApi::HttpApi(LiveState& live, WriteInbox& inbox, ApiOptions options, Access& access)
    : live_(live), inbox_(inbox), access_(access), options_(std::move(options)) {}

HttpApi::~HttpApi() = default;

std::unique_ptr<EnergyHistory> HttpApi::TakeEnergyHistory() {
    {
        const std::lock_guard<std::mutex> lock(energy_mutex_);
        if (!idle_energy_.empty()) {
            std::unique_ptr<EnergyHistory> history = std::move(idle_energy_.back());
            idle_energy_.pop_back();
            return history;
        }
    }
    return std::make_unique<EnergyHistory>(options_.history_path);
}

void HttpApi::KeepEnergyHistory(std::unique_ptr<EnergyHistory> history) {
    history->Rest();
    const std::lock_guard<std::mutex> lock(energy_mutex_);
    if (idle_energy_.size() < kKeptEnergyHistories) idle_energy_.push_back(std::move(history));
}

std::optional<ApiResponse> HttpApi::Gate(const ApiRequest& request, const std::optional<Access::Caller>& caller) const {
    if (!host_named(request.host, options_.hosts)) {
        return api_error(421, "this server does not answer for " + quoted(request.host) +
                                  "; name it by an address it listens on, or add the name to http_hosts");
    }
    const bool changes = request.method != "GET" && request.method != "HEAD" && request.method != "OPTIONS";
    if (changes) {
        // A browser says where a request comes from; another site's page
        // must not act here in the name of whoever is logged in.
        const std::string own = std::string(request.tls ? "https://" : "http://") + request.host;
        if (!request.origin.empty() && request.origin != own) {
            return api_error(403, "a request from " + quoted(request.origin) + " may not change anything here");
        }
        // Without an Origin, only a program that shows its token: a cookie
        // alone could be a browser's, sent along by another site's page.
        if (request.origin.empty() && options_.writes_need_login && !(caller && caller->by_token)) {
            return api_error(403, "send the page's Origin, or a token in Authorization");
        }
    }
    const bool metrics = request.path == "/metrics";
    const bool open = request.path == "/api/session" || request.path == "/api/login" ||
                      // The page itself shows the login; /metrics, when off, is no page at all.
                      (metrics ? options_.metrics != MetricsAccess::on : request.path.rfind("/api/", 0) != 0);
    if (options_.reads_need_login && !open && !caller) return api_error(401, "log in first");
    return std::nullopt;
}

ApiResponse HttpApi::Handle(const ApiRequest& request) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (request.path.empty() || request.path[0] != '/') return api_error(400, "a path begins with /");
    const std::optional<Access::Caller> caller = access_.Who(request.cookie, request.authorization, request.tls);
    if (auto refused = Gate(request, caller)) return *refused;
    if (request.path == "/api/session") {
        if (!get) return not_allowed("GET");
        return Session(caller);
    }
    if (request.path == "/api/login" || request.path == "/api/logout") {
        if (request.method != "POST") return not_allowed("POST");
        return request.path == "/api/login" ? LogIn(request) : LogOut(request);
    }
    if (request.path == "/healthz") {
        if (!get) return not_allowed("GET");
        return Health();
    }
    if (const WebAsset* asset = find_web_asset(request.path)) {
        if (!get) return not_allowed("GET");
        ApiResponse response;
        response.content_type = asset->content_type;
        response.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
        return response;
    }
    if (request.path == "/metrics" && options_.metrics != MetricsAccess::off) {
        if (!get) return not_allowed("GET");
        ApiResponse response;
        response.content_type = "text/plain; version=0.0.4; charset=utf-8";
        const std::vector<LiveMeter> meters = live_.Meters();
        std::vector<const MeterState*> states;
        for (const LiveMeter& meter : meters) states.push_back(&meter);
        response.body = metrics_text(states, MetricsRun{options_.version, live_.SkippedSlots()}, live_.Now());
        if (options_.forward != nullptr) response.body += forward_metrics_text(options_.forward->Figures(), utc_now_ms());
        return response;
    }
    const std::vector<std::string> segments = segments_of(request.path);
    if (segments.size() < 2 || segments[0] != "api") return api_error(404, "no such page: " + quoted(request.path));
    if (segments[1] == "events" && segments.size() == 2) {
        if (!get) return not_allowed("GET");
        ApiResponse stream = ApiResponse::EventStream();
        // A session's stream lasts as long as the session: logging out or
        // its expiry ends it.
        if (caller && !caller->session.empty()) {
            stream.stream_allowed = [&access = access_, session = caller->session] { return access.Holds(session); };
        }
        return stream;
    }
    if (segments[1] == "site" && segments.size() == 3 && segments[2] == "energy") {
        if (!get) return not_allowed("GET");
        return SiteEnergy(request);
    }
    if (segments[1] != "devices" || segments.size() > 4) {
        return api_error(404, "no such API path: " + quoted(request.path));
    }
    if (segments.size() == 2) {
        if (!get) return not_allowed("GET");
        return Devices();
    }
    std::uint32_t id = 0;
    if (!parse_id(segments[2], id)) {
        return api_error(400, "a device is named by its data id, a whole number; not " + quoted(segments[2]));
    }
    if (segments.size() == 3) {
        if (!get) return not_allowed("GET");
        return Device(id);
    }
    if (segments[3] == "history" || segments[3] == "history.csv") {
        if (!get) return not_allowed("GET");
        return History(id, request, segments[3] == "history.csv");
    }
    if (segments[3] == "alarms") {
        if (!get) return not_allowed("GET");
        return Alarms(id, request);
    }
    if (segments[3] == "energy" || segments[3] == "demand") {
        if (!get) return not_allowed("GET");
        return segments[3] == "energy" ? Energy(id, request) : Demand(id, request);
    }
    if (segments[3] == "registers") {
        if (request.method != "POST") return not_allowed("POST");
        if (options_.writes_need_login && !caller) return api_error(401, "log in to write registers");
        return Write(id, request, caller);
    }
    return api_error(404, "no such API path: " + quoted(request.path));
}

// For a watchdog or a load balancer: no login, a few lines of JSON, 503
// once a line has not polled for three intervals and the slowest cycle's
// allowance of 2 s.
ApiResponse HttpApi::Health() const {
    const auto limit = std::chrono::duration<double>(3 * options_.interval_seconds + kHealthAllowanceSeconds);
    Json::Value health;
    bool healthy = true;
    health["lines"] = Json::Value(Json::arrayValue);
    for (const auto& [name, age] : live_.LineAges()) {
        Json::Value line;
        line["line"] = name;
        line["last_cycle_s"] = std::round(std::chrono::duration<double>(age).count() * 1000) / 1000;
        healthy = healthy && age <= limit;
        health["lines"].append(line);
    }
    health["history"] = options_.history != nullptr ? HistoryHealth::Name(options_.history->Get()) : "off";
    if (options_.forward != nullptr) {
        const ForwardFigures figures = options_.forward->Figures();
        health["forwarder"] = figures.forwarding ? "forwarding" : figures.problem.empty() ? "starting" : "held";
    } else {
        health["forwarder"] = "off";
    }
    health["healthy"] = healthy;
    ApiResponse response = json_response(health);
    if (!healthy) response.status = 503;
    return response;
}

ApiResponse HttpApi::Session(const std::optional<Access::Caller>& caller) const {
    Json::Value session;
    session["user"] = caller ? Json::Value(caller->name) : Json::Value();
    session["reads_need_login"] = options_.reads_need_login;
    session["writes_need_login"] = options_.writes_need_login;
    session["writes_allowed"] = options_.allow_writes;
    session["logins"] = access_.has_credentials();
    return json_response(session);
}

ApiResponse HttpApi::LogIn(const ApiRequest& request) {
    if (!is_json_type(request.content_type)) return api_error(415, "send {\"user\", \"password\"} as application/json");
    const std::optional<Json::Value> body = parse_json_object(request.body, 8);
    if (!body || !(*body)["user"].isString() || !(*body)["password"].isString()) {
        return api_error(400, "expected {\"user\": NAME, \"password\": PASSWORD}");
    }
    const std::string name = (*body)["user"].asString();
    const Access::Login login = access_.LogIn(name, (*body)["password"].asString(), request.remote);
    if (login.outcome == Access::Login::busy) {
        return api_error(429, "other logins from this address are being checked; try again in a moment");
    }
    if (login.outcome == Access::Login::held_back) {
        ApiResponse later = api_error(429, "too many failed logins; try again in " + std::to_string(login.retry.count()) + " s");
        later.retry_after_s = static_cast<int>(login.retry.count());
        return later;
    }
    if (login.outcome != Access::Login::accepted) return api_error(401, "that name and password do not match");
    Json::Value answer;
    answer["user"] = name;
    ApiResponse response = json_response(answer);
    response.set_cookie = std::string(Access::CookieName(request.tls)) + "=" + login.session +
                          "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                          std::to_string(std::chrono::seconds(Access::kSessionLifetime).count()) +
                          (request.tls ? "; Secure" : "");
    return response;
}

ApiResponse HttpApi::LogOut(const ApiRequest& request) {
    access_.LogOut(request.cookie, request.tls);
    ApiResponse response = json_response(Json::Value(Json::objectValue));
    response.set_cookie = std::string(Access::CookieName(request.tls)) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
                          (request.tls ? "; Secure" : "");
    response.sessions_ended = true;  // its event streams end with it
    return response;
}

namespace {

// {"freshness":…, then the rest of a rendered view.
void append_with_freshness(std::string& body, const std::string& freshness, const std::string& view) {
    body.append("{\"freshness\":").append(freshness).append(",").append(view, 1, std::string::npos);
}

}  // namespace

// Asked every few seconds by every open overview, and by scrapers: each
// meter's part is rendered once per change of the meter, not per request.
ApiResponse HttpApi::Devices() {
    const Clock::time_point now = live_.Now();
    ApiResponse response;
    response.body = "{\"devices\":[";
    bool first = true;
    for (const auto& [id, stamp] : live_.Stamps()) {
        const std::shared_ptr<const std::string> glance = ViewText(View::glance, id, stamp.version);
        if (!glance) continue;
        if (!first) response.body += ',';
        first = false;
        append_with_freshness(response.body, compact_json(freshness_json(freshness_of(stamp.completed_at, now))), *glance);
    }
    response.body.append("],\"writes_allowed\":").append(options_.allow_writes ? "true" : "false");
    response.body.append(",\"history\":").append(options_.history_path.empty() ? "false" : "true");
    // The page shows its times on the site's clock, whatever the browser's.
    response.body.append(",\"site_timezone\":").append(compact_json(Json::Value(options_.zone.name())));
    if (options_.forward != nullptr) {
        response.body.append(",\"forwarder\":").append(compact_json(forward_json(options_.forward->Figures(), utc_now_ms())));
    }
    response.body.append("}");
    return response;
}

std::shared_ptr<const std::string> HttpApi::ViewText(View view, std::uint32_t id, std::uint64_t version) {
    {
        const std::lock_guard<std::mutex> lock(render_mutex_);
        const auto found = rendered_.find({view, id});
        if (found != rendered_.end() && found->second.text && found->second.version >= version) return found->second.text;
    }
    // Rendered outside the lock: requests for a view already rendered never wait for this.
    const std::optional<LiveMeter> meter = live_.Meter(id);
    if (!meter) return nullptr;
    auto text = std::make_shared<const std::string>(compact_json(
        view == View::detail ? meter_detail_json(*meter, options_.allow_writes) : meter_glance_json(*meter)));
    const std::lock_guard<std::mutex> lock(render_mutex_);
    Rendered& rendered = rendered_[{view, id}];
    if (!rendered.text || rendered.version < meter->version) rendered = Rendered{meter->version, text};
    return text;
}

ApiResponse HttpApi::Device(std::uint32_t id) {
    const std::optional<LiveState::Stamp> stamp = live_.StampOf(id);
    if (!stamp) return api_error(404, "no device with data id " + std::to_string(id));
    const std::shared_ptr<const std::string> detail = ViewText(View::detail, id, stamp->version);
    if (!detail) return api_error(404, "no device with data id " + std::to_string(id));
    // The freshness goes first, the rest as rendered after the meter last changed.
    ApiResponse response;
    const std::string freshness = compact_json(freshness_json(freshness_of(stamp->completed_at, live_.Now())));
    response.body.reserve(freshness.size() + detail->size() + 16);
    append_with_freshness(response.body, freshness, *detail);
    return response;
}

namespace {

// A history request's query string read into `query`: from, to, limit and,
// for readings, resolution. An answer when it is refused.
std::optional<ApiResponse> read_history_params(const ApiRequest& request, int most, HistoryQuery& query) {
    const bool readings = query.kind == HistoryKind::readings;
    const std::string known = readings ? "from, to, limit, resolution and quantities" : "from, to and limit";
    for (const auto& [name, value] : request.params) {
        if (name != "from" && name != "to" && name != "limit" && ((name != "resolution" && name != "quantities") || !readings)) {
            return api_error(400, "unknown query parameter " + quoted(name) + ": only " + known);
        }
    }
    bool repeated = false;
    if (const std::string* text = single_param(request, "from", repeated)) {
        const auto from = utc_ms_from_text(*text);
        if (!from) return api_error(400, "from must be a UTC time like 2026-01-02T03:04:05Z");
        query.from_ms = *from;
    }
    if (const std::string* text = single_param(request, "to", repeated)) {
        const auto to = utc_ms_from_text(*text);
        if (!to) return api_error(400, "to must be a UTC time like 2026-01-02T03:04:05Z");
        // A time without milliseconds means its whole second.
        query.to_ms = *to + (text->find('.') == std::string::npos ? 999 : 0);
    }
    if (const std::string* text = single_param(request, "limit", repeated)) {
        std::uint32_t value = 0;
        if (!parse_id(*text, value) || value < 1 || value > static_cast<std::uint32_t>(most)) {
            return api_error(400, "limit must be a whole number 1…" + std::to_string(most));
        }
        query.limit = static_cast<int>(value);
    }
    if (const std::string* text = single_param(request, "resolution", repeated)) {
        if (!resolution_named(*text)) return api_error(400, "resolution must be raw, minute or hour");
        query.resolution = *resolution_named(*text);
    }
    // The quantities a chart draws, by their column names: a year of hours is
    // megabytes of every quantity's lowest, mean and highest.
    if (const std::string* text = single_param(request, "quantities", repeated)) {
        std::size_t at = 0;
        while (at <= text->size()) {
            const std::size_t comma = std::min(text->find(',', at), text->size());
            const std::string name = text->substr(at, comma - at);
            const bool known_name = std::any_of(kMeterReadings.begin(), kMeterReadings.end(),
                                                [&name](const MeterReading& reading) { return name == reading.column; });
            if (!known_name) return api_error(400, "quantities names readings, comma-separated, like phase_voltage_1_v: not " + quoted(name));
            query.quantities.push_back(name);
            at = comma + 1;
        }
    }
    if (repeated) return api_error(400, known + " may each be given once");
    if (query.from_ms > query.to_ms) return api_error(400, "from is later than to");
    return std::nullopt;
}

// The rows' frame: which meter, the times asked (null for open ends) and the limit.
Json::Value history_answer(std::uint32_t id, const HistoryQuery& query) {
    Json::Value answer;
    answer["id"] = id;
    answer["from"] = query.from_ms == std::numeric_limits<std::int64_t>::min() ? Json::Value() : Json::Value(utc_text(query.from_ms));
    answer["to"] = query.to_ms == std::numeric_limits<std::int64_t>::max() ? Json::Value() : Json::Value(utc_text(query.to_ms));
    answer["limit"] = query.limit;
    return answer;
}

}  // namespace

namespace {

// The rows made a piece at a time as the client takes them, between the
// answer's frame: the file is opened at the first piece, never for a HEAD.
ApiResponse rows_in_pieces(const std::string& path, const HistoryQuery& query, ExportFormat format, std::string before,
                           std::string after) {
    ApiResponse response;
    struct Made {
        std::optional<HistoryPieces> pieces;
        std::string before, after;
        bool ended = false;
    };
    auto made = std::make_shared<Made>();
    made->before = std::move(before);
    made->after = std::move(after);
    response.pieces = [made, path, query, format](std::string& out) {
        if (made->ended) return false;
        if (!made->pieces) {
            made->pieces.emplace(path, query, format);
            out += made->before;
        }
        if (made->pieces->Next(out, HttpApi::kPieceBytes)) return true;
        out += made->after;
        made->pieces.reset();
        made->ended = true;
        return false;
    };
    return response;
}

// The answer's frame as JSON text around its rows: what goes before the
// rows' first and after their last.
std::pair<std::string, std::string> rows_frame(Json::Value answer) {
    answer["rows"] = Json::Value(Json::arrayValue);
    const std::string text = compact_json(answer);
    const std::size_t rows = text.find("\"rows\":[]") + 8;
    return {text.substr(0, rows), text.substr(rows)};
}

}  // namespace

bool HttpApi::Heavy(const ApiRequest& request) const {
    const std::vector<std::string> segments = segments_of(request.path);
    if (request.path == "/api/site/energy") return true;
    return segments.size() == 4 && segments[0] == "api" && segments[1] == "devices" &&
           (segments[3] == "history" || segments[3] == "history.csv" || segments[3] == "alarms" ||
            segments[3] == "energy" || segments[3] == "demand");
}

ApiResponse HttpApi::History(std::uint32_t id, const ApiRequest& request, bool csv) {
    if (!live_.Knows(id)) return api_error(404, "no device with data id " + std::to_string(id));
    if (options_.history_path.empty()) return api_error(404, "no history: qmxhost was started without --history");
    HistoryQuery query;
    query.device = id;
    const int most = csv ? kMostExportRows : kMostHistoryRows;
    query.limit = csv ? most : 100;
    query.zone = options_.zone;
    if (auto refused = read_history_params(request, most, query)) return *refused;
    const std::string resolution = resolution_table(query.resolution);
    if (csv) {
        ApiResponse response = rows_in_pieces(options_.history_path, query, ExportFormat::csv, "", "");
        response.content_type = "text/csv; charset=utf-8";
        response.filename = "qv5810-" + std::to_string(id) + "-" + resolution + ".csv";
        return response;
    }
    Json::Value answer = history_answer(id, query);
    answer["resolution"] = resolution;
    auto [before, after] = rows_frame(answer);
    return rows_in_pieces(options_.history_path, query, ExportFormat::json_rows, std::move(before), std::move(after));
}

ApiResponse HttpApi::Alarms(std::uint32_t id, const ApiRequest& request) {
    if (!live_.Knows(id)) return api_error(404, "no device with data id " + std::to_string(id));
    if (options_.history_path.empty()) return api_error(404, "no history: qmxhost was started without --history");
    HistoryQuery query;
    query.kind = HistoryKind::alarms;
    query.device = id;
    query.zone = options_.zone;
    query.limit = 100;
    if (auto refused = read_history_params(request, kMostHistoryRows, query)) return *refused;
    auto [before, after] = rows_frame(history_answer(id, query));
    return rows_in_pieces(options_.history_path, query, ExportFormat::json_rows, std::move(before), std::move(after));
}

namespace {

// A query's parameters, each known and given once; an answer when refused.
std::optional<ApiResponse> known_params(const ApiRequest& request, const std::vector<std::string>& known) {
    std::string list;
    for (const std::string& name : known) list += (list.empty() ? "" : ", ") + name;
    for (const auto& [name, value] : request.params) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            return api_error(400, "unknown query parameter " + quoted(name) + ": only " + list);
        }
        if (request.params.count(name) > 1) return api_error(400, list + " may each be given once");
    }
    return std::nullopt;
}

std::string param_or(const ApiRequest& request, const std::string& name, const std::string& fallback) {
    const auto found = request.params.find(name);
    return found != request.params.end() ? found->second : fallback;
}

// from and to: UTC times as the history's, or the site's days (2026-03-29:
// from its start; to its end). Defaults: this month of the site's so far.
std::optional<ApiResponse> read_span(const ApiRequest& request, const SiteZone& zone, std::int64_t& from, std::int64_t& to) {
    const std::int64_t now = utc_now_ms();
    from = zone.PeriodStart(SitePeriod::month, now);
    to = now;
    for (const auto& [name, ms] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
        const auto found = request.params.find(name);
        if (found == request.params.end()) continue;
        if (const auto day = zone.DayStart(found->second)) {
            *ms = std::string(name) == "to" ? zone.PeriodAfter(SitePeriod::day, *day) - 1 : *day;
        } else if (const auto time = utc_ms_from_text(found->second)) {
            *ms = *time + (std::string(name) == "to" && found->second.find('.') == std::string::npos ? 999 : 0);
        } else {
            return api_error(400, std::string(name) + " must be a UTC time like 2026-01-02T03:04:05Z or a day of the site's "
                                                      "like 2026-03-29");
        }
    }
    if (from > to) return api_error(400, "from is later than to");
    return std::nullopt;
}

Json::Value counter_json(const MeterReading& counter, const std::optional<std::int64_t>& count) {
    if (!count) return Json::Value();
    if (counter.divisor == 1) return static_cast<Json::Int64>(*count);
    return static_cast<double>(*count) / counter.divisor;
}

double rounded(double value, double scale) { return std::round(value * scale) / scale; }

Json::Value breaks_json(const std::vector<CounterBreak>& breaks, const SiteZone& zone) {
    Json::Value list(Json::arrayValue);
    for (const CounterBreak& step : breaks) {
        Json::Value item;
        item["counter"] = step.counter->column;
        item["utc"] = utc_text(step.t_ms);
        item["local_time"] = zone.LocalText(step.t_ms);
        item["before"] = counter_json(*step.counter, step.before);
        item["after"] = counter_json(*step.counter, step.after);
        list.append(item);
    }
    return list;
}

// A period's or an interval's when and how covered; a period also its length.
void span_members(JsonMembers& item, const EnergyPeriod& period, const SiteZone& zone, bool hours) {
    item.Add("start", utc_text(period.start_ms));
    item.Add("local_start", zone.LocalText(period.start_ms));
    if (hours) item.Add("hours", rounded(static_cast<double>(period.end_ms - period.start_ms) / 3.6e6, 1000));
    item.Add("coverage", rounded(period.coverage, 1000));
}

void counter_member(JsonMembers& item, const MeterReading& counter, const std::optional<std::int64_t>& count) {
    if (!count) {
        item.AddNull(counter.column);
    } else if (counter.divisor == 1) {
        item.Add(counter.column, *count);
    } else {
        item.Add(counter.column, static_cast<double>(*count) / counter.divisor);
    }
}

Json::Value units_json() {
    Json::Value units;
    for (const MeterReading* counter : counter_readings()) units[counter->column] = counter->unit;
    return units;
}

// Refused unless the history names the meter.
std::optional<ApiResponse> named_in(EnergyHistory& history, std::uint32_t id) {
    for (const auto& [device, name] : history.Meters()) {
        if (device == id) return std::nullopt;
    }
    return api_error(404, "the history holds no meter with data id " + std::to_string(id));
}

}  // namespace

ApiResponse HttpApi::Energy(std::uint32_t id, const ApiRequest& request) {
    if (options_.history_path.empty()) return api_error(404, "no history: qmxhost was started without --history");
    if (auto refused = known_params(request, {"by", "from", "to"})) return *refused;
    const std::string by = param_or(request, "by", "day");
    const std::vector<std::pair<std::string, SitePeriod>> steps{
        {"hour", SitePeriod::hour}, {"day", SitePeriod::day}, {"week", SitePeriod::week}, {"month", SitePeriod::month}};
    const auto step = std::find_if(steps.begin(), steps.end(), [&by](const auto& s) { return s.first == by; });
    if (step == steps.end()) return api_error(400, "by must be hour, day, week or month");
    std::int64_t from = 0, to = 0;
    if (auto refused = read_span(request, options_.zone, from, to)) return *refused;
    const std::size_t most = kMostEnergyPeriods[static_cast<std::size_t>(step->second)];
    const auto bounds = site_bounds(options_.zone, step->second, from, to, most);
    if (!bounds) return api_error(400, "at most " + std::to_string(most) + " periods of by=" + by + "; narrow from and to");
    try {
        std::unique_ptr<EnergyHistory> kept = TakeEnergyHistory();
        EnergyHistory& history = *kept;
        if (auto refused = named_in(history, id)) {
            KeepEnergyHistory(std::move(kept));
            return *refused;
        }
        const EnergyFigures figures = history.Between(id, *bounds, 3600000);
        // Written member by member, the periods last and straight into the answer.
        ApiResponse response;
        response.body.reserve(1024 + figures.periods.size() * 256);
        {
            JsonMembers answer(response.body);
            answer.Add("id", static_cast<std::int64_t>(id));
            answer.Add("by", by);
            answer.Add("zone", options_.zone.name());
            answer.Add("from", utc_text(bounds->front()));
            answer.Add("to", utc_text(bounds->back()));
            answer.AddValue("units", units_json());
            answer.AddValue("breaks", breaks_json(figures.breaks, options_.zone));
            std::string& periods = answer.Text("periods");
            periods += '[';
            for (std::size_t i = 0; i < figures.periods.size(); ++i) {
                if (i > 0) periods += ',';
                JsonMembers item(periods);
                span_members(item, figures.periods[i], options_.zone, true);
                for (std::size_t k = 0; k < counter_readings().size(); ++k) {
                    counter_member(item, *counter_readings()[k], figures.periods[i].counts[k]);
                }
            }
            periods += ']';
        }
        KeepEnergyHistory(std::move(kept));
        return response;
    } catch (const std::runtime_error& e) {
        return api_error(503, e.what());
    }
}

ApiResponse HttpApi::Demand(std::uint32_t id, const ApiRequest& request) {
    if (options_.history_path.empty()) return api_error(404, "no history: qmxhost was started without --history");
    if (auto refused = known_params(request, {"interval", "from", "to"})) return *refused;
    const std::string interval = param_or(request, "interval", "15");
    if (interval != "15" && interval != "30" && interval != "60") return api_error(400, "interval must be 15, 30 or 60 (minutes)");
    std::int64_t from = 0, to = 0;
    if (auto refused = read_span(request, options_.zone, from, to)) return *refused;
    try {
        std::unique_ptr<EnergyHistory> kept = TakeEnergyHistory();
        EnergyHistory& history = *kept;
        if (auto refused = named_in(history, id)) {
            KeepEnergyHistory(std::move(kept));
            return *refused;
        }
        const auto demand = demand_of(history, id, options_.zone, std::stoi(interval), from, to, kMostDemandIntervals);
        if (!demand) {
            KeepEnergyHistory(std::move(kept));
            return api_error(400, "at most " + std::to_string(kMostDemandIntervals) + " intervals; narrow from and to");
        }
        const auto write_interval = [&](std::string& out, std::size_t i) {
            JsonMembers item(out);
            span_members(item, demand->intervals[i], options_.zone, false);
            if (demand->watts[i]) {
                item.Add("demand_w", rounded(*demand->watts[i], 10));
            } else {
                item.AddNull("demand_w");
            }
            item.Add("candidate", static_cast<bool>(demand->candidate[i]));
        };
        // Written member by member, the intervals last and straight into the answer.
        ApiResponse response;
        response.body.reserve(1024 + demand->intervals.size() * 128);
        {
            JsonMembers answer(response.body);
            answer.Add("id", static_cast<std::int64_t>(id));
            answer.Add("interval_minutes", static_cast<std::int64_t>(demand->minutes));
            answer.Add("zone", options_.zone.name());
            answer.Add("from", utc_text(demand->intervals.front().start_ms));
            answer.Add("to", utc_text(demand->intervals.back().end_ms));
            answer.Add("unit", "W");
            answer.Add("candidates", "an interval is a candidate for the peak when it has a reading within a tenth of "
                                     "the interval before each boundary, 90 % of its minutes covered and no counter break");
            answer.AddValue("breaks", breaks_json(demand->breaks, options_.zone));
            if (demand->peak) {
                write_interval(answer.Text("peak"), *demand->peak);
            } else {
                answer.AddNull("peak");
            }
            std::string& intervals = answer.Text("intervals");
            intervals += '[';
            for (std::size_t i = 0; i < demand->intervals.size(); ++i) {
                if (i > 0) intervals += ',';
                write_interval(intervals, i);
            }
            intervals += ']';
        }
        KeepEnergyHistory(std::move(kept));
        return response;
    } catch (const std::runtime_error& e) {
        return api_error(503, e.what());
    }
}

ApiResponse HttpApi::SiteEnergy(const ApiRequest& request) {
    if (options_.history_path.empty()) return api_error(404, "no history: qmxhost was started without --history");
    if (auto refused = known_params(request, {"period"})) return *refused;
    const std::string period = param_or(request, "period", "today");
    const SiteZone& zone = options_.zone;
    const std::int64_t now = utc_now_ms();
    std::int64_t start = 0, end = 0;
    const auto month_of = [&zone](const std::string& text) -> std::optional<std::int64_t> {
        return text.size() == 7 ? zone.DayStart(text + "-01") : std::nullopt;
    };
    if (period == "today" || period == "yesterday") {
        start = zone.PeriodStart(SitePeriod::day, now);
        if (period == "yesterday") start = zone.PeriodStart(SitePeriod::day, start - 1);
        end = zone.PeriodAfter(SitePeriod::day, start);
    } else if (period == "this_month" || period == "last_month") {
        start = zone.PeriodStart(SitePeriod::month, now);
        if (period == "last_month") start = zone.PeriodStart(SitePeriod::month, start - 1);
        end = zone.PeriodAfter(SitePeriod::month, start);
    } else if (const auto day = zone.DayStart(period)) {
        start = *day;
        end = zone.PeriodAfter(SitePeriod::day, start);
    } else if (const auto month = month_of(period)) {
        start = *month;
        end = zone.PeriodAfter(SitePeriod::month, start);
    } else {
        return api_error(400, "period must be today, yesterday, this_month, last_month, a day like 2026-03-29 or a month "
                              "like 2026-03");
    }
    try {
        std::unique_ptr<EnergyHistory> kept = TakeEnergyHistory();
        EnergyHistory& history = *kept;
        const std::vector<SiteMeterEnergy> lines = site_energy(history, zone, start, end);
        Json::Value answer;
        answer["period"] = period;
        answer["zone"] = zone.name();
        answer["from"] = utc_text(start);
        answer["to"] = utc_text(end);
        answer["units"] = units_json();
        answer["units"]["peak_demand_w"] = "W";
        Json::Value& meters = answer["meters"] = Json::Value(Json::arrayValue);
        // None where no meter has a figure: a site that kept no records used no 0 Wh.
        std::vector<std::optional<std::int64_t>> totals(counter_readings().size());
        int without = 0;
        for (const SiteMeterEnergy& line : lines) {
            Json::Value item;
            item["id"] = line.device;
            item["name"] = line.name;
            for (std::size_t k = 0; k < counter_readings().size(); ++k) {
                item[counter_readings()[k]->column] = counter_json(*counter_readings()[k], line.energy.counts[k]);
                if (line.energy.counts[k]) totals[k] = totals[k].value_or(0) + *line.energy.counts[k];
            }
            without += line.energy.counts[imported_active_counter()] ? 0 : 1;
            item["coverage"] = rounded(line.energy.coverage, 1000);
            item["breaks"] = static_cast<Json::UInt64>(line.breaks);
            item["peak_demand_w"] = line.peak_watts ? Json::Value(rounded(*line.peak_watts, 10)) : Json::Value();
            item["peak_start"] = line.peak_start_ms ? Json::Value(utc_text(*line.peak_start_ms)) : Json::Value();
            item["peak_local_start"] = line.peak_start_ms ? Json::Value(zone.LocalText(*line.peak_start_ms)) : Json::Value();
            meters.append(item);
        }
        Json::Value total;
        for (std::size_t k = 0; k < counter_readings().size(); ++k) {
            total[counter_readings()[k]->column] = counter_json(*counter_readings()[k], totals[k]);
        }
        total["meters"] = static_cast<Json::UInt64>(lines.size());
        total["meters_without_energy"] = without;
        answer["total"] = total;
        KeepEnergyHistory(std::move(kept));
        return json_response(answer);
    } catch (const std::runtime_error& e) {
        return api_error(503, e.what());
    }
}

ApiResponse HttpApi::Write(std::uint32_t id, const ApiRequest& request, const std::optional<Access::Caller>& caller) {
    if (!options_.allow_writes) return api_error(403, "writes are off: start qmxhost with --allow-writes");
    // A browser sends a form or text to another site without asking; a JSON
    // body it sends only to the page's own origin.
    if (!is_json_type(request.content_type)) {
        return api_error(415, "the body must be sent as application/json, not " + quoted(request.content_type));
    }
    if (!live_.Knows(id)) return api_error(404, "no device with data id " + std::to_string(id));
    std::string problem;
    std::vector<std::uint16_t> words = parse_write_request(request.body, problem);
    if (words.empty()) return api_error(400, problem);
    // Named in the journal: the login or token, else where it came from.
    const std::string by = caller ? (caller->by_token ? "token " : "login ") + caller->name
                                  : "the page at " + (request.remote.empty() ? std::string("an unknown address") : request.remote);
    std::optional<std::future<std::int32_t>> status = inbox_.Submit(WriteRequest{id, words, by});
    if (!status) return api_error(503, "too many writes are waiting; try again after they are answered");
    if (status->wait_for(options_.write_timeout) != std::future_status::ready) {
        return api_error(504, "the poll loop did not carry the write out in time; it may still be written");
    }
    try {
        Json::Value answer = write_result_json(words, status->get());
        answer["id"] = id;
        return json_response(answer);
    } catch (const std::future_error&) {
        return api_error(503, "the bench host stopped before the write was carried out");
    }
}
