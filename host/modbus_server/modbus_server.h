// The meters' registers over Modbus TCP, for the tools that speak it: each
// meter under its slave address as unit id, served from its last completed
// poll cycle (never from the line), on a thread of its own. libmodbus frames
// every request and answer; this server decides only what to answer.
//
// Reads (functions 3 and 4) must lie wholly inside one block the poll cycle
// read, or they are refused as an illegal data address. A unit id that is no
// configured meter is refused as "gateway path unavailable": no retry will
// reach it. A meter without a completed cycle within the freshness limit is
// "gateway target failed to respond", as a gateway says of a silent meter.
// Writes (6 and 16) go through the write inbox, the path of the HTTP API and
// the broker, and are answered once the meter confirmed them; every other
// function, and writes when none are allowed, is an illegal function.
#pragma once

#include <modbus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/config/endpoints.h"
#include "host/report/write_inbox.h"
#include "host/modbus_server/served_meters.h"

class ModbusServer {
public:
    // When full, a new connection takes the place of the least recently
    // active one that waits for no write; one address (IPv6: its /64) holds
    // at most its share, its own least recently active making room for its next.
    static constexpr std::size_t kMostClients = 32;
    static constexpr std::size_t kMostClientsPerAddress = 8;
    // A request must arrive whole within this of its first byte.
    static constexpr std::chrono::seconds kFrameWithin{2};
    // A client that asks nothing for this long gives its place up.
    static constexpr std::chrono::seconds kIdleLimit{120};

    // Listens at once (a std::runtime_error when it cannot). Without an
    // inbox, writes are refused. The meters and the inbox must outlive it.
    ModbusServer(const ServedMeters& meters, const ListenAddress& listen, WriteInbox* inbox);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    int port() const { return port_; }
    // Closes every connection and ends the thread; a write still waiting
    // for the meter goes unanswered.
    void Stop();

private:
    struct Client;
    struct Outcomes;

    void Serve();
    void Accept();
    // False when the client is to be dropped.
    bool Read(Client& client);
    bool Answer(Client& client, const std::vector<std::uint8_t>& request);
    bool AnswerRead(Client& client, const std::vector<std::uint8_t>& request, int unit);
    bool AnswerWrite(Client& client, const std::vector<std::uint8_t>& request, int unit);
    void AnswerFinishedWrites();
    void DropLateClients();
    // Of the clients that wait for no write (of one address when given), the
    // one heard from longest ago.
    std::optional<std::size_t> LeastActive(const std::string* address) const;
    void Drop(std::size_t index);

    const ServedMeters& meters_;
    WriteInbox* inbox_;
    modbus_t* context_;  // switched between the clients' sockets on the server's thread only
    int listener_ = -1;
    int port_ = 0;
    std::vector<std::unique_ptr<Client>> clients_;
    std::uint64_t next_client_id_ = 1;
    std::shared_ptr<Outcomes> outcomes_;  // shared with the writes' callbacks, which may outlive the server
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
