#include "host/forward/central_link.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include <memory>

namespace {

constexpr int kTurnMs = 250;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    // libpq's messages may span lines: one line each in a notice.
    for (char& c : text) c = c == '\n' ? ' ' : c;
    return text;
}

using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;

}  // namespace

CentralLink::CentralLink(const std::string& uri, std::function<bool()> give_up) : give_up_(std::move(give_up)) {
    const char* keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* values[] = {uri.c_str(), "qmxhost", nullptr};
    connection_ = PQconnectStartParams(keywords, values, 1);
    if (connection_ == nullptr) throw CentralError("out of memory", true);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (PostgresPollingStatusType step = PGRES_POLLING_WRITING;;) {
        if (PQstatus(connection_) == CONNECTION_BAD || step == PGRES_POLLING_FAILED) Fail("cannot connect");
        if (step == PGRES_POLLING_OK) break;
        try {
            Wait(step == PGRES_POLLING_READING ? Want::read : Want::write, deadline);
        } catch (...) {
            PQfinish(connection_);
            throw;
        }
        step = PQconnectPoll(connection_);
    }
    PQsetnonblocking(connection_, 1);
    // The server's notices (a table that is there already) are no news to anyone.
    PQsetNoticeProcessor(connection_, [](void*, const char*) {}, nullptr);
}

CentralLink::~CentralLink() { PQfinish(connection_); }

void CentralLink::Fail(const std::string& what) const {
    const std::string why = trimmed(PQerrorMessage(connection_));
    const bool lost = PQstatus(connection_) == CONNECTION_BAD;
    if (what == "cannot connect") {
        const std::string message = why.empty() ? what : why;
        PQfinish(connection_);
        throw CentralError(message, true);
    }
    throw CentralError(what + ": " + why, lost);
}

void CentralLink::Wait(Want want, std::chrono::steady_clock::time_point deadline) {
    pollfd socket{PQsocket(connection_), static_cast<short>(want == Want::read ? POLLIN : POLLOUT), 0};
    for (;;) {
        if (give_up_()) throw CentralError("stopped", true);
        if (std::chrono::steady_clock::now() > deadline) {
            throw CentralError("no answer within " + std::to_string(kPatience.count()) + " s", true);
        }
        const int ready = poll(&socket, 1, kTurnMs);
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) throw CentralError("cannot wait for the database's answer", true);
    }
}

void CentralLink::Flush(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const int left = PQflush(connection_);
        if (left == 0) return;
        if (left < 0) Fail("cannot send");
        Wait(Want::write, deadline);
        if (PQconsumeInput(connection_) == 0) Fail("cannot read");
    }
}

CentralLink::Rows CentralLink::Results(const std::string& what, std::chrono::steady_clock::time_point deadline) {
    Rows rows;
    std::optional<CentralError> failed;
    for (;;) {
        while (PQisBusy(connection_) != 0) {
            Wait(Want::read, deadline);
            if (PQconsumeInput(connection_) == 0) Fail(what);
        }
        const Result result(PQgetResult(connection_), PQclear);
        if (!result) break;
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COPY_IN) return rows;  // the caller sends the data
        if (status == PGRES_TUPLES_OK) {
            for (int r = 0; r < PQntuples(result.get()); ++r) {
                std::vector<std::optional<std::string>> row;
                for (int c = 0; c < PQnfields(result.get()); ++c) {
                    row.push_back(PQgetisnull(result.get(), r, c) != 0
                                      ? std::nullopt
                                      : std::optional<std::string>(PQgetvalue(result.get(), r, c)));
                }
                rows.push_back(std::move(row));
            }
        } else if (status != PGRES_COMMAND_OK && !failed) {
            const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
            failed = CentralError(what + ": " + trimmed(PQresultErrorMessage(result.get())),
                                  PQstatus(connection_) == CONNECTION_BAD, state != nullptr ? state : "");
        }
    }
    if (failed) throw *failed;
    return rows;
}

CentralLink::Rows CentralLink::Query(const std::string& sql, const std::vector<std::optional<std::string>>& params) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::vector<const char*> values;
    for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
    const std::string what = sql.substr(0, sql.find(' '));
    if (PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                          nullptr, 0) == 0) {
        Fail(what);
    }
    Flush(deadline);
    return Results(what, deadline);
}

void CentralLink::Copy(const std::string& sql, const std::string& data) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    if (PQsendQuery(connection_, sql.c_str()) == 0) Fail("COPY");
    Flush(deadline);
    Results("COPY", deadline);
    // In pieces: a non-blocking connection takes what its buffer holds.
    constexpr std::size_t kPiece = 64 * 1024;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t size = std::min(kPiece, data.size() - at);
        const int put = PQputCopyData(connection_, data.data() + at, static_cast<int>(size));
        if (put < 0) Fail("COPY");
        if (put == 0) {
            Wait(Want::write, deadline);
            Flush(deadline);
            continue;
        }
        at += size;
    }
    for (;;) {
        const int ended = PQputCopyEnd(connection_, nullptr);
        if (ended < 0) Fail("COPY");
        if (ended > 0) break;
        Wait(Want::write, deadline);
    }
    Flush(deadline);
    Results("COPY", deadline);
}
