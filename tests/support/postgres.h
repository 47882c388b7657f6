// A PostgreSQL server of the test's own: a cluster made by initdb in a
// folder of its own, on a free loopback port, with a login that needs a
// password (kept in a password file, as a box keeps it), stopped and
// started again as the test asks. Run as root, the server runs as the user
// postgres, as PostgreSQL insists.
#pragma once

#include <optional>
#include <string>
#include <vector>

class Postgres {
public:
    using Rows = std::vector<std::vector<std::optional<std::string>>>;

    Postgres();   // made and started
    ~Postgres();  // stopped and removed
    Postgres(const Postgres&) = delete;
    Postgres& operator=(const Postgres&) = delete;

    void Start();
    void Stop();
    // The URI a box is given: no password in it, the password file named.
    const std::string& uri() const { return uri_; }
    // One statement as the login, its parameters as text; fails the test when refused.
    Rows Query(const std::string& sql, const std::vector<std::string>& params = {}) const;
    // A connection the test holds, for locks that must outlast a statement.
    struct Session;

private:
    std::string dir_;
    int port_;
    std::string uri_;
    std::string as_owner_;  // runs a command as the server's user
};

// A session of the test's own on the server, held open: a lock it takes
// lasts until Release.
struct Postgres::Session {
    explicit Session(const Postgres& server);
    ~Session();
    void Run(const std::string& sql);
    void* connection;
};
