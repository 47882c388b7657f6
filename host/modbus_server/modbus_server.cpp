#include "host/modbus_server/modbus_server.h"

#include "host/common/host_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "framework/control_codes.h"
#include "host/config/write_request.h"

namespace {

using Steady = std::chrono::steady_clock;

// Bytes 2 and 3 of the header name the protocol, 0 for Modbus; bytes 4 and 5
// count the unit id and the PDU after them.
constexpr int kLengthCounted = 6;

int word_at(const std::vector<std::uint8_t>& frame, int at) {
    const auto index = static_cast<std::size_t>(at);
    return frame[index] << 8 | frame[index + 1];
}

// The peer's address and port: "192.0.2.7", "50312"; "?" when it has gone.
std::pair<std::string, int> peer_of(int socket) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {"?", 0};
    char host[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        return {host, ntohs(v6.sin6_port)};
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    return {host, ntohs(v4.sin_port)};
}

// "192.0.2.7:50312", "[2001:db8::7]:50312".
std::string peer_text(const std::pair<std::string, int>& peer) {
    if (peer.first == "?") return peer.first;
    const bool v6 = peer.first.find(':') != std::string::npos;
    return (v6 ? "[" + peer.first + "]" : peer.first) + ":" + std::to_string(peer.second);
}

// Under a flood of requests a cycle must not wait for a core: the server
// gives way to the poll loop, as the HTTP threads do.
void lower_this_thread() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); }

}  // namespace

struct ModbusServer::Client {
    int socket;
    std::uint64_t id;
    std::string address;  // the peer's, for the journal
    std::string block;    // its address's share
    Steady::time_point heard;                // its last whole request, or its connection
    std::optional<Steady::time_point> part;  // when the first byte of a request not yet whole came
    std::vector<std::uint8_t> waiting;       // a write's request until the meter confirmed it or not
};

// The writes' outcomes, handed from the poll thread to the server's, which a
// byte down the pipe wakes.
struct ModbusServer::Outcomes {
    std::mutex outcomes_mutex;  // guards finished
    std::vector<std::pair<std::uint64_t, std::int32_t>> finished;  // the client's id, the device's write status
    int wake[2] = {-1, -1};

    Outcomes() {
        if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    ~Outcomes() {
        close(wake[0]);
        close(wake[1]);
    }
    void Finished(std::uint64_t client, std::int32_t status) {
        {
            const std::lock_guard<std::mutex> lock(outcomes_mutex);
            finished.emplace_back(client, status);
        }
        Wake();
    }
    // A full pipe already holds a wake-up.
    void Wake() const {
        const char byte = 1;
        (void)!write(wake[1], &byte, 1);
    }
};

ModbusServer::ModbusServer(const ServedMeters& meters, const ListenAddress& listen, WriteInbox* inbox)
    : meters_(meters), inbox_(inbox), context_(modbus_new_tcp_pi(listen.host.c_str(), std::to_string(listen.port).c_str())),
      outcomes_(std::make_shared<Outcomes>()) {
    const std::string where = listen.host + ":" + std::to_string(listen.port);
    if (context_ == nullptr) throw std::runtime_error("Modbus server on " + where + ": " + modbus_strerror(errno));
    listener_ = modbus_tcp_pi_listen(context_, static_cast<int>(kMostClients));
    if (listener_ < 0) {
        const std::string why = modbus_strerror(errno);
        modbus_free(context_);
        throw std::runtime_error("Modbus server cannot listen on " + where + ": " + why);
    }
    // A connection given up between poll() and accept() must not leave the thread waiting in accept().
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    // A request is read only once it is whole on the socket; should libmodbus
    // frame it longer than its header said, it gives up at once rather than
    // wait for bytes that belong to no request.
    modbus_set_byte_timeout(context_, 0, 1000);
    thread_ = std::thread(&ModbusServer::Serve, this);
}

ModbusServer::~ModbusServer() { Stop(); }

void ModbusServer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    outcomes_->Wake();
    thread_.join();
    while (!clients_.empty()) Drop(clients_.size() - 1);
    close(listener_);
    modbus_free(context_);
}

void ModbusServer::Serve() {
    lower_this_thread();
    std::vector<pollfd> watched;
    while (!stopping_) {
        watched.assign({{listener_, POLLIN, 0}, {outcomes_->wake[0], POLLIN, 0}});
        // A client whose write waits is not read: its answers keep their order,
        // and it holds one place in the inbox at most.
        for (const auto& client : clients_) {
            watched.push_back({client->socket, static_cast<short>(client->waiting.empty() ? POLLIN : 0), 0});
        }
        if (poll(watched.data(), watched.size(), 250) < 0 && errno != EINTR) break;
        if (stopping_) break;
        // Backwards, so that a client dropped leaves the ones still to see in place.
        for (std::size_t i = clients_.size(); i-- > 0;) {
            const short events = watched[i + 2].revents;
            if (events == 0) continue;
            const bool keep = clients_[i]->waiting.empty() ? Read(*clients_[i]) : (events & (POLLHUP | POLLERR)) == 0;
            if (!keep) Drop(i);
        }
        if (watched[1].revents != 0) {
            char drained[64];
            while (read(outcomes_->wake[0], drained, sizeof drained) > 0) {
            }
            AnswerFinishedWrites();
        }
        if (watched[0].revents != 0) Accept();
        DropLateClients();
    }
}

void ModbusServer::Accept() {
    int listening = listener_;
    const int socket = modbus_tcp_pi_accept(context_, &listening);
    if (socket < 0) return;
    // libmodbus waits on a socket with select(), which takes none beyond FD_SETSIZE.
    if (socket >= FD_SETSIZE) {
        close(socket);
        return;
    }
    // A new master always gets in: no address holds more than its share, and
    // a full server lets the connection go that has asked nothing longest
    // (a master that reconnected leaves its old ones idle).
    const std::pair<std::string, int> peer = peer_of(socket);
    std::string block = address_share(peer.first);
    const auto same = static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(), [&](const auto& client) { return client->block == block; }));
    const bool full = same >= kMostClientsPerAddress || clients_.size() >= kMostClients;
    const std::optional<std::size_t> room = full ? LeastActive(same >= kMostClientsPerAddress ? &block : nullptr) : std::nullopt;
    if (full && !room) {  // every one waits for a write
        close(socket);
        return;
    }
    if (room) Drop(*room);
    // A client that does not take its answers fails the next one, and goes.
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    clients_.push_back(std::make_unique<Client>(
        Client{socket, next_client_id_++, peer_text(peer), std::move(block), Steady::now(), std::nullopt, {}}));
}

std::optional<std::size_t> ModbusServer::LeastActive(const std::string* block) const {
    std::optional<std::size_t> least;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        const Client& client = *clients_[i];
        if (!client.waiting.empty() || (block != nullptr && client.block != *block)) continue;
        if (!least || client.heard < clients_[*least]->heard) least = i;
    }
    return least;
}

bool ModbusServer::Read(Client& client) {
    std::vector<std::uint8_t> request(MODBUS_TCP_MAX_ADU_LENGTH);
    const ssize_t queued = recv(client.socket, request.data(), request.size(), MSG_PEEK | MSG_DONTWAIT);
    if (queued == 0) return false;  // closed
    if (queued < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    const int header = modbus_get_header_length(context_);
    const auto whole = [&] { return kLengthCounted + word_at(request, 4); };
    if (queued >= header) {
        if (word_at(request, 2) != 0) return false;  // not Modbus
        if (whole() < header + 1 || whole() > MODBUS_TCP_MAX_ADU_LENGTH) return false;
    }
    if (queued < header || queued < whole()) {
        if (!client.part) client.part = Steady::now();
        return true;
    }
    const int length = whole();
    modbus_set_socket(context_, client.socket);
    const int taken = modbus_receive(context_, request.data());
    if (taken <= 0 || taken > length) return false;
    // libmodbus reads as far as the function code says; the rest the header
    // counted is this request's, and goes with it.
    if (taken < length) {
        std::uint8_t rest[MODBUS_TCP_MAX_ADU_LENGTH];
        const auto left = static_cast<std::size_t>(length - taken);
        if (recv(client.socket, rest, left, MSG_DONTWAIT) != static_cast<ssize_t>(left)) return false;
    }
    request.resize(static_cast<std::size_t>(taken));
    client.part.reset();
    client.heard = Steady::now();
    return Answer(client, request);
}

namespace {

bool refuse(modbus_t* context, const std::vector<std::uint8_t>& request, int exception) {
    // libmodbus adds 0x80 to the function, which for a function with that bit
    // set already (an exception's code sent as a request) carries out of the
    // byte: the answer's function is the request's with the bit set.
    std::vector<std::uint8_t> asked = request;
    asked[static_cast<std::size_t>(modbus_get_header_length(context))] &= 0x7F;
    return modbus_reply_exception(context, asked.data(), static_cast<unsigned>(exception)) >= 0;
}

}  // namespace

bool ModbusServer::Answer(Client& client, const std::vector<std::uint8_t>& request) {
    const int header = modbus_get_header_length(context_);
    const int unit = request[static_cast<std::size_t>(header - 1)];
    switch (request[static_cast<std::size_t>(header)]) {
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: return AnswerRead(client, request, unit);
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            if (inbox_ != nullptr) return AnswerWrite(client, request, unit);
            break;
        default: break;
    }
    return refuse(context_, request, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
}

bool ModbusServer::AnswerRead(Client&, const std::vector<std::uint8_t>& request, int unit) {
    const ServedMeters::Lookup found = meters_.Find(unit);
    if (found.state == ServedMeters::Lookup::State::unknown) {
        return refuse(context_, request, MODBUS_EXCEPTION_GATEWAY_PATH);
    }
    if (found.state == ServedMeters::Lookup::State::stale) return refuse(context_, request, MODBUS_EXCEPTION_GATEWAY_TARGET);
    const int first = word_at(request, modbus_get_header_length(context_) + 1);
    for (const ReadBlock& block : found.cycle->read) {
        const int count = static_cast<int>(block.registers.size());
        if (first < block.first || first >= block.first + count) continue;
        // The block alone is mapped: libmodbus refuses a range that runs past
        // its end as an illegal data address, and a count beyond 125 as an
        // illegal data value.
        std::vector<std::uint16_t> registers = block.registers;
        modbus_mapping_t mapping{};
        mapping.start_registers = mapping.start_input_registers = block.first;
        mapping.nb_registers = mapping.nb_input_registers = count;
        mapping.tab_registers = mapping.tab_input_registers = registers.data();
        return modbus_reply(context_, request.data(), static_cast<int>(request.size()), &mapping) >= 0;
    }
    return refuse(context_, request, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
}

bool ModbusServer::AnswerWrite(Client& client, const std::vector<std::uint8_t>& request, int unit) {
    const ServedMeters::Lookup found = meters_.Find(unit);
    if (found.state == ServedMeters::Lookup::State::unknown) {
        return refuse(context_, request, MODBUS_EXCEPTION_GATEWAY_PATH);
    }
    const int header = modbus_get_header_length(context_);
    std::vector<std::uint16_t> words{static_cast<std::uint16_t>(word_at(request, header + 1))};
    if (request[static_cast<std::size_t>(header)] == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        words.push_back(static_cast<std::uint16_t>(word_at(request, header + 3)));
    } else {
        const int count = word_at(request, header + 3);
        if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || request[static_cast<std::size_t>(header + 5)] != 2 * count) {
            return refuse(context_, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        }
        for (int i = 0; i < count; ++i) words.push_back(static_cast<std::uint16_t>(word_at(request, header + 6 + 2 * i)));
    }
    if (!write_span_problem(words).empty()) return refuse(context_, request, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    const std::shared_ptr<Outcomes> outcomes = outcomes_;
    const std::uint64_t id = client.id;
    if (!inbox_->Submit(WriteRequest{found.meter->data_id, std::move(words), "a Modbus TCP client at " + client.address},
                        [outcomes, id](std::int32_t status) { outcomes->Finished(id, status); })) {
        return refuse(context_, request, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
    }
    client.waiting = request;
    return true;
}

void ModbusServer::AnswerFinishedWrites() {
    std::vector<std::pair<std::uint64_t, std::int32_t>> finished;
    {
        const std::lock_guard<std::mutex> lock(outcomes_->outcomes_mutex);
        finished.swap(outcomes_->finished);
    }
    const int header = modbus_get_header_length(context_);
    for (const auto& [id, status] : finished) {
        std::size_t index = 0;
        while (index < clients_.size() && clients_[index]->id != id) ++index;
        if (index == clients_.size()) continue;  // gone while its write waited
        Client& client = *clients_[index];
        const std::vector<std::uint8_t> request = std::move(client.waiting);
        client.waiting.clear();
        client.heard = Steady::now();
        modbus_set_socket(context_, client.socket);
        bool sent = false;
        if (status == write_outcome::kConfirmed) {
            // libmodbus echoes the write as its answer, into registers that
            // stand for exactly the ones written.
            const int first = word_at(request, header + 1);
            const int count = request[static_cast<std::size_t>(header)] == MODBUS_FC_WRITE_SINGLE_REGISTER
                                  ? 1
                                  : word_at(request, header + 3);
            std::vector<std::uint16_t> written(static_cast<std::size_t>(count));
            modbus_mapping_t mapping{};
            mapping.start_registers = first;
            mapping.nb_registers = count;
            mapping.tab_registers = written.data();
            sent = modbus_reply(context_, request.data(), static_cast<int>(request.size()), &mapping) >= 0;
        } else {
            sent = refuse(context_, request, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
        }
        if (!sent) Drop(index);
    }
}

void ModbusServer::DropLateClients() {
    const auto now = Steady::now();
    for (std::size_t i = clients_.size(); i-- > 0;) {
        const Client& client = *clients_[i];
        const bool late = (client.part && now - *client.part > kFrameWithin) ||
                          (client.waiting.empty() && now - client.heard > kIdleLimit);
        if (late) Drop(i);
    }
}

void ModbusServer::Drop(std::size_t index) {
    close(clients_[index]->socket);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
}
