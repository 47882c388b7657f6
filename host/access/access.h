// Who may read and write through the live page and the API. People log in
// with a name and a password, whose hash (argon2id, libsodium's
// crypto_pwhash_str) stands in a file, and get a session that expires;
// programs send a bearer token, whose SHA-256 stands in the same file. One
// credential a line:
//
//   anna:$argon2id$v=19$m=16384,t=3,p=1$...      a password (qmxhost passwd anna)
//   grafana:token-sha256:9f86d081884c7d65...     a token (qmxhost token grafana)
//
// Blank lines and lines beginning with # are skipped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class Access {
public:
    static constexpr std::chrono::hours kSessionLifetime{8};
    static constexpr std::size_t kMostSessions = 256;  // the oldest is ended for a new one beyond them
    // Password checks waiting or running at once from one address (IPv6:
    // its /64); beyond them its next login is answered "busy" at once, so
    // that one client's flood holds no worker and turns no one else away.
    static constexpr int kMostLoginsAtOnce = 2;
    // After a second failed login, the address and the name are held back
    // for a while that doubles with each failure, up to the longest; a name's only
    // toward addresses that failed too, so that its owner elsewhere gets in.
    // Forgotten after an hour without a failure.
    static constexpr std::chrono::seconds kFirstHoldBack{1};
    static constexpr std::chrono::seconds kLongestHoldBack{300};
    static constexpr std::chrono::seconds kForgetFailuresAfter{3600};
    static constexpr std::size_t kMostRemembered = 4096;  // addresses and names, each

    // Reads the credentials; none without a file. Throws std::runtime_error
    // naming the file and line it cannot take. `journal` takes the lock-out
    // notices, on the thread of the login; `now` tells the time sessions
    // and hold-backs are reckoned by.
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    explicit Access(const std::string& credentials_file = "",
                    std::function<void(const std::string&)> journal = nullptr, Now now = std::chrono::steady_clock::now);

    bool has_credentials() const { return !credentials_.empty(); }

    struct Caller {
        std::string name;
        bool by_token = false;  // a program's bearer token, not a browser's session
        std::string session;    // the session's id, for a browser
    };
    // Whom a request comes from: its session cookie (in the Cookie header)
    // or its bearer token (in Authorization); none when it carries neither
    // or one that is not (or no longer) good.
    std::optional<Caller> Who(const std::string& cookie_header, const std::string& authorization, bool tls);

    struct Login {
        enum Outcome { accepted, refused, busy, held_back } outcome = refused;
        std::string session;            // the new session's id, when accepted
        std::chrono::seconds retry{0};  // when held back: how long still
    };
    // A new session for a name and password that match, from the client
    // address `from`. One check at a time: each takes memory on purpose.
    Login LogIn(const std::string& name, const std::string& password, const std::string& from);
    void LogOut(const std::string& cookie_header, bool tls);
    // The session is there and not expired: its event streams may go on.
    bool Holds(const std::string& session);

    // The session cookie's name: over HTTPS with the __Host- prefix, which
    // a browser keeps to this origin, Secure and on every path.
    static const char* CookieName(bool tls) { return tls ? "__Host-qv5810_session" : "qv5810_session"; }

private:
    struct Credential {
        std::string name;
        std::string password_hash;  // PHC string; empty for a token
        std::string token_sha256;   // hex; empty for a password
    };
    struct Session {
        std::string name;
        std::chrono::steady_clock::time_point expires;
    };

    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point last, until;  // the last failure; held back until
    };
    using FailuresOf = std::map<std::string, Failures>;
    // Counts one more failure, and says so in the journal at 4, 8, 16, … of them.
    void Failed(FailuresOf& failures, const std::string& key, const char* what);

    std::vector<Credential> credentials_;
    std::function<void(const std::string&)> journal_;
    const Now now_;
    std::mutex verify_mutex_;    // one password check at a time
    std::mutex logins_mutex_;    // guards checking_, by_address_, by_name_
    std::map<std::string, int> checking_;  // checks waiting or running, by address
    FailuresOf by_address_, by_name_;
    std::mutex sessions_mutex_;  // guards sessions_
    std::map<std::string, Session> sessions_;  // by id
};

// A credentials line for a password (argon2id) or a token (its SHA-256).
// Throws std::runtime_error when the name has a colon or is empty.
std::string password_line(const std::string& name, const std::string& password);
std::string token_line(const std::string& name, const std::string& token);
// A new random token, 32 bytes as hex.
std::string new_token();
