#include "host/line/libmodbus_tcp_context.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include "host/config/endpoints.h"

namespace {

modbus_t* new_tcp(const TcpAddress& address) {
    modbus_t* ctx = modbus_new_tcp_pi(address.host.c_str(), address.port.c_str());
    if (ctx == nullptr) throw std::runtime_error("cannot set up Modbus TCP: " + std::string(modbus_strerror(errno)));
    return ctx;
}

// libmodbus reports a name that does not resolve as a refused connection,
// and a connect that timed out with the errno of its start; asking the
// resolver again tells them apart.
std::string connect_failure(const TcpAddress& address, int error, int timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (found != nullptr) freeaddrinfo(found);
    if (resolved != 0) return address.host + " does not resolve (" + gai_strerror(resolved) + ")";
    if (error == ECONNREFUSED) return "connection refused: nothing listens on port " + address.port;
    if (error == EINPROGRESS || error == ETIMEDOUT) {
        return "no answer within the response timeout of " + std::to_string(timeout_ms) + " ms";
    }
    return modbus_strerror(error);
}

}  // namespace

LibmodbusTcpContext::LibmodbusTcpContext(const LineSettings& s, StopSignal& stop)
    : LibmodbusContext(new_tcp(*s.tcp), s, stop) {
    if (const int rc = EnsureOpen(); rc != 0) {
        throw std::runtime_error("cannot connect to " + s.tcp->Text() + ": " +
                                 connect_failure(*s.tcp, -rc, s.response_timeout_ms));
    }
}

int LibmodbusTcpContext::Reopen() {
    if (modbus_connect(ctx_) != 0) return -errno;
    Connected();
    return 0;
}

bool LibmodbusTcpContext::Gone(int error) const {
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == EBADF || error == ENOTSOCK;
}
