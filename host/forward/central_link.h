// One libpq connection to the central history, driven without blocking, so
// that a stop, or a database that stopped answering, never holds the
// forwarder longer than a turn: every wait is on the socket in short turns,
// bounded by a deadline, and given up as soon as `give_up` says so.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct pg_conn;

// A failure of the central side: the connection's (the database is gone
// and the link with it) or a statement's (the database refused it: full,
// read-only, no right).
class CentralError : public std::runtime_error {
public:
    CentralError(const std::string& what, bool lost, std::string state = "")
        : std::runtime_error(what), link_lost(lost), sqlstate(std::move(state)) {}
    bool link_lost;
    std::string sqlstate;  // the statement's SQLSTATE; empty: none
};

class CentralLink {
public:
    using Rows = std::vector<std::vector<std::optional<std::string>>>;
    static constexpr std::chrono::seconds kPatience{60};  // for one connect or one statement's answer

    // Connects, or throws CentralError. `give_up` is asked every turn.
    CentralLink(const std::string& uri, std::function<bool()> give_up);
    ~CentralLink();
    CentralLink(const CentralLink&) = delete;
    CentralLink& operator=(const CentralLink&) = delete;

    // One statement, its parameters as text; the rows it returns.
    Rows Query(const std::string& sql, const std::vector<std::optional<std::string>>& params = {});
    // COPY ... FROM STDIN with `data` in COPY's text format.
    void Copy(const std::string& sql, const std::string& data);

private:
    enum class Want { read, write };
    void Wait(Want want, std::chrono::steady_clock::time_point deadline);
    void Flush(std::chrono::steady_clock::time_point deadline);
    Rows Results(const std::string& what, std::chrono::steady_clock::time_point deadline);
    [[noreturn]] void Fail(const std::string& what) const;

    pg_conn* connection_ = nullptr;
    std::function<bool()> give_up_;
};
