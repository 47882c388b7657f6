#include "sim/tcp_gateway.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace {

// How often a wait looks whether the run has ended.
constexpr int kPollMs = 100;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + modbus_strerror(errno));
}

int bound_port(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool send_all(int socket, const std::vector<std::uint8_t>& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = send(socket, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void TcpGateway::Close::operator()(modbus_t* ctx) const {
    modbus_close(ctx);
    modbus_free(ctx);
}

TcpGateway::Listener::~Listener() {
    if (fd >= 0) close(fd);
}

TcpGateway::TcpGateway(int port, const std::string& line, int longest_answer_ms, LineFaults faults, SimLog& log)
    : longest_answer_ms_(longest_answer_ms), faults_(faults, log) {
    server_.reset(modbus_new_tcp_pi(nullptr, std::to_string(port).c_str()));
    if (!server_) fail("Modbus TCP");
    listener_.fd = modbus_tcp_pi_listen(server_.get(), 1);
    if (listener_.fd < 0) fail("cannot listen on port " + std::to_string(port));
    port_ = bound_port(listener_.fd);
    // The line is a byte pipe between two ends of our own: speed and
    // framing are the relay's business.
    line_.reset(modbus_new_rtu(line.c_str(), 115200, 'N', 8, 1));
    if (!line_ || modbus_connect(line_.get()) != 0) fail("gateway line");
    // In short slices, so that a wait for the line's answer never outlives the run.
    modbus_set_response_timeout(line_.get(), 0, kPollMs * 1000);
}

void TcpGateway::Run(const std::atomic<bool>& keep_running) {
    while (keep_running) {
        if (!Accept(keep_running)) continue;
        Serve(keep_running);
        modbus_close(server_.get());  // the client's socket; the listener stays
    }
}

bool TcpGateway::Accept(const std::atomic<bool>& keep_running) {
    if (!keep_running || !readable(listener_.fd, kPollMs)) return false;
    int listener = listener_.fd;
    return modbus_tcp_pi_accept(server_.get(), &listener) >= 0;
}

void TcpGateway::Serve(const std::atomic<bool>& keep_running) {
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    while (keep_running) {
        if (!readable(modbus_get_socket(server_.get()), kPollMs)) continue;
        // A client that left, or sent what is no Modbus TCP, is done with.
        const int length = modbus_receive(server_.get(), request);
        if (length < 0) return;
        if (length > 0) Forward(request, length, keep_running);
    }
}

void TcpGateway::Forward(const std::uint8_t* request, int length, const std::atomic<bool>& keep_running) {
    // The MBAP header ends in the unit id; the unit id and the PDU make the
    // RTU frame, to which libmodbus adds the CRC.
    const int header = modbus_get_header_length(server_.get());
    const std::uint8_t unit = request[header - 1];
    if (modbus_set_slave(line_.get(), unit) != 0) return;  // no RTU address: nothing on the line answers it
    modbus_flush(line_.get());
    if (modbus_send_raw_request(line_.get(), request + header - 1, length - header + 1) < 0) return;
    std::uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
    int answered = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(longest_answer_ms_);
    while (keep_running && std::chrono::steady_clock::now() < deadline) {
        answered = modbus_receive_confirmation(line_.get(), answer);
        if (answered >= 0 || errno != ETIMEDOUT) break;
    }
    // Lost, broken, or from another slave: the client hears nothing. The
    // shortest answer is an exception: address, function, code, CRC.
    if (answered < 5 || answer[0] != unit) return;
    const AnswerFaults::Fate fate = faults_.Next(unit);
    if (fate.drop) return;
    if (fate.hold_ms > 0 && !hold_back(fate.hold_ms, keep_running)) return;
    // The request's header with the length of what follows it: the unit id and the answer's PDU.
    const int pdu = answered - 1 - 2;
    std::vector<std::uint8_t> reply(request, request + header);
    reply[4] = static_cast<std::uint8_t>((pdu + 1) >> 8);
    reply[5] = static_cast<std::uint8_t>((pdu + 1) & 0xFF);
    reply.insert(reply.end(), answer + 1, answer + 1 + pdu);
    send_all(modbus_get_socket(server_.get()), reply);
}
