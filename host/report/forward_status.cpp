#include "host/report/forward_status.h"

#include "host/common/clock.h"

double ForwardFigures::SecondsBehind(std::int64_t now_ms) const {
    if (records_behind == 0 || oldest_behind_ms == 0 || now_ms < oldest_behind_ms) return 0;
    return static_cast<double>(now_ms - oldest_behind_ms) / 1000;
}

Json::Value forward_json(const ForwardFigures& figures, std::int64_t now_ms) {
    Json::Value json;
    json["target"] = figures.target;
    json["forwarding"] = figures.forwarding;
    json["problem"] = figures.problem.empty() ? Json::Value() : Json::Value(figures.problem);
    json["records_behind"] = static_cast<Json::Int64>(figures.records_behind);
    json["seconds_behind"] = figures.SecondsBehind(now_ms);
    json["forwarded"] = static_cast<Json::UInt64>(figures.forwarded);
    json["expired"] = static_cast<Json::UInt64>(figures.expired);
    json["last_commit_utc"] = figures.last_commit_ms == 0 ? Json::Value() : Json::Value(utc_text(figures.last_commit_ms));
    return json;
}
