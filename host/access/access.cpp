#include "host/access/access.h"

#include "host/common/host_address.h"

#include <arpa/inet.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

// Moderate limits: a gateway may have little memory, and a login is rare.
constexpr unsigned long long kOpsLimit = 3;
constexpr std::size_t kMemLimit = 16 * 1024 * 1024;
constexpr const char* kTokenPrefix = "token-sha256:";

void need_sodium() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

std::string hex(const unsigned char* bytes, std::size_t length) {
    std::string text(length * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, length);
    text.pop_back();
    return text;
}

std::string sha256_hex(const std::string& text) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return hex(digest, sizeof digest);
}

// The value of the cookie `name` in a Cookie header, or "".
std::string cookie_value(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t end = std::min(header.find(';', at), header.size());
        std::string pair = header.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

void check_name(const std::string& name) {
    if (name.empty() || name.find_first_of(":\n\r") != std::string::npos) {
        throw std::runtime_error("a name must not be empty nor hold a colon or a line break");
    }
}

using Steady = std::chrono::steady_clock;

// How long a key is held back: none, or until its hold-back ends.
template <typename FailuresOf>
std::chrono::seconds held_back(const FailuresOf& failures, const std::string& key, Steady::time_point now) {
    const auto found = failures.find(key);
    if (found == failures.end() || found->second.until <= now) return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(found->second.until - now);
}

}  // namespace

Access::Access(const std::string& credentials_file, std::function<void(const std::string&)> journal, Now now)
    : journal_(std::move(journal)), now_(std::move(now)) {
    if (credentials_file.empty()) return;
    need_sodium();
    std::ifstream in(credentials_file);
    if (!in) throw std::runtime_error(credentials_file + ": cannot be read");
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t colon = line.find(':');
        const std::string where = credentials_file + ":" + std::to_string(number);
        if (colon == 0 || colon == std::string::npos) throw std::runtime_error(where + ": expected NAME:HASH");
        Credential credential{line.substr(0, colon), "", ""};
        const std::string secret = line.substr(colon + 1);
        if (secret.rfind(kTokenPrefix, 0) == 0) {
            credential.token_sha256 = secret.substr(std::string(kTokenPrefix).size());
            if (credential.token_sha256.size() != 2 * crypto_hash_sha256_BYTES) {
                throw std::runtime_error(where + ": a token's SHA-256 is 64 hexadecimal digits");
            }
        } else if (secret.rfind("$argon2id$", 0) == 0 && secret.size() < crypto_pwhash_STRBYTES) {
            credential.password_hash = secret;
        } else {
            throw std::runtime_error(where + ": neither an argon2id hash (qmxhost passwd) nor a token (qmxhost token)");
        }
        credentials_.push_back(credential);
    }
}

std::optional<Access::Caller> Access::Who(const std::string& cookie_header, const std::string& authorization,
                                          bool tls) {
    if (authorization.rfind("Bearer ", 0) == 0) {
        const std::string presented = sha256_hex(authorization.substr(7));
        for (const Credential& credential : credentials_) {
            if (credential.token_sha256.size() == presented.size() &&
                sodium_memcmp(credential.token_sha256.data(), presented.data(), presented.size()) == 0) {
                return Caller{credential.name, true, ""};
            }
        }
        return std::nullopt;
    }
    const std::string id = cookie_value(cookie_header, CookieName(tls));
    if (id.empty()) return std::nullopt;
    const std::lock_guard<std::mutex> lock(sessions_mutex_);
    const auto session = sessions_.find(id);
    if (session == sessions_.end()) return std::nullopt;
    if (session->second.expires < now_()) {
        sessions_.erase(session);
        return std::nullopt;
    }
    return Caller{session->second.name, false, id};
}

bool Access::Holds(const std::string& session) {
    const std::lock_guard<std::mutex> lock(sessions_mutex_);
    const auto found = sessions_.find(session);
    return found != sessions_.end() && found->second.expires >= now_();
}

void Access::Failed(FailuresOf& failures, const std::string& key, const char* what) {
    const auto now = now_();
    if (failures.size() >= kMostRemembered && failures.find(key) == failures.end()) {
        // The one failed longest ago makes room: a flood of names forgets its own first.
        auto oldest = failures.begin();
        for (auto it = failures.begin(); it != failures.end(); ++it) {
            if (it->second.last < oldest->second.last) oldest = it;
        }
        failures.erase(oldest);
    }
    Failures& f = failures[key];
    if (now - f.last > kForgetFailuresAfter) f.count = 0;
    ++f.count;
    f.last = now;
    // One slip costs nothing; each failure after it doubles the wait.
    const auto hold = f.count < 2 ? std::chrono::seconds(0)
                                  : std::min<std::chrono::seconds>(kLongestHoldBack, kFirstHoldBack * (1LL << std::min(f.count - 2, 20)));
    f.until = now + hold;
    if (journal_ && f.count >= 4 && (f.count & (f.count - 1)) == 0) {
        // A name is the client's text: a short one, printable, on one line.
        std::string shown = key.substr(0, 64);
        for (char& c : shown) c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
        journal_("qmxhost: login: " + std::to_string(f.count) + " failed logins " + what + shown + ", held back " +
                 std::to_string(hold.count()) + " s after each");
    }
}

Access::Login Access::LogIn(const std::string& name, const std::string& password, const std::string& from) {
    const std::string address = address_share(from);
    {
        const std::lock_guard<std::mutex> lock(logins_mutex_);
        const auto now = now_();
        // The name's hold-back binds only addresses that failed before.
        const bool failed_here = by_address_.count(address) != 0;
        const std::chrono::seconds wait =
            std::max(held_back(by_address_, address, now), failed_here ? held_back(by_name_, name, now) : std::chrono::seconds(0));
        if (wait.count() > 0) return Login{Login::held_back, "", wait};
        int& checking = checking_[address];
        if (checking >= kMostLoginsAtOnce) return Login{Login::busy, "", {}};
        ++checking;
    }
    struct Counted {
        Access& access;
        const std::string& address;
        ~Counted() {
            const std::lock_guard<std::mutex> lock(access.logins_mutex_);
            if (--access.checking_[address] == 0) access.checking_.erase(address);
        }
    } counted{*this, address};
    const Credential* found = nullptr;
    for (const Credential& credential : credentials_) {
        if (credential.name == name && !credential.password_hash.empty()) found = &credential;
    }
    {
        const std::lock_guard<std::mutex> lock(verify_mutex_);
        // A name not on the list costs the same time as a wrong password.
        static const std::string kDecoy = [] {
            char hash[crypto_pwhash_STRBYTES] = "";
            if (crypto_pwhash_str(hash, "decoy", 5, kOpsLimit, kMemLimit) != 0) return std::string();
            return std::string(hash);
        }();
        const std::string& hash = found != nullptr ? found->password_hash : kDecoy;
        const bool good = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
        if (!good || found == nullptr) {
            const std::lock_guard<std::mutex> failed(logins_mutex_);
            Failed(by_address_, address, "from ");
            Failed(by_name_, name, "as ");
            return Login{Login::refused, "", {}};
        }
    }
    {
        const std::lock_guard<std::mutex> lock(logins_mutex_);
        by_address_.erase(address);  // it knew the password: its own mistakes are forgiven
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    const std::string id = hex(random, sizeof random);
    const std::lock_guard<std::mutex> lock(sessions_mutex_);
    if (sessions_.size() >= kMostSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->second.expires < oldest->second.expires) oldest = it;
        }
        sessions_.erase(oldest);
    }
    sessions_[id] = Session{name, now_() + kSessionLifetime};
    return Login{Login::accepted, id, {}};
}

void Access::LogOut(const std::string& cookie_header, bool tls) {
    const std::string id = cookie_value(cookie_header, CookieName(tls));
    const std::lock_guard<std::mutex> lock(sessions_mutex_);
    sessions_.erase(id);
}

std::string password_line(const std::string& name, const std::string& password) {
    check_name(name);
    need_sodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), kOpsLimit, kMemLimit) != 0) {
        throw std::runtime_error("out of memory for the password's hash");
    }
    return name + ":" + hash;
}

std::string token_line(const std::string& name, const std::string& token) {
    check_name(name);
    need_sodium();
    return name + ":" + kTokenPrefix + sha256_hex(token);
}

std::string new_token() {
    need_sodium();
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    return hex(random, sizeof random);
}
