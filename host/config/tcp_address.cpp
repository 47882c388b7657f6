#include "host/config/tcp_address.h"

#include <stdexcept>

#include "host/common/number_text.h"

namespace {
// The longest name DNS carries.
constexpr std::size_t kLongestHost = 253;
}  // namespace

TcpAddress parse_tcp_address(const std::string& text) {
    const std::string form = "\"" + text + "\" is not HOST:PORT (an IPv6 address in brackets: [::1]:502)";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument(form);
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find_first_of("[]:") != std::string::npos) {
        throw std::invalid_argument(form);
    }
    if (host.empty()) throw std::invalid_argument(form);
    if (host.size() > kLongestHost) throw std::invalid_argument("host name longer than 253 characters");
    if (host.find_first_of(" \t\r\n") != std::string::npos) throw std::invalid_argument(form);
    long long port = 0;
    try {
        port = parse_whole(text.substr(colon + 1), 1, 65535);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("port of \"" + text + "\": " + e.what());
    }
    return {host, std::to_string(port)};
}
