// The Modbus server against libmodbus's own client: what a poll cycle read
// of qv5810-sim is served as the simulator's log says it served it, reads
// outside a block and writes not allowed are refused, an allowed write is
// answered once the meter took it, a meter without a fresh cycle is a silent
// gateway target, and no client can hold the server up.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/control_codes.h"
#include "tests/live/raw_client.h"
#include "tests/support/quiet_test.h"
#include "tests/modbus_server/modbus_server_rig.h"

namespace {

// The registers came from one cycle the simulator served.
bool one_served_cycle_holds(const std::string& log, int first, const std::vector<std::uint16_t>& registers) {
    for (const auto& [cycle, bank] : served_banks(log)) {
        if (bank.Block(first, static_cast<int>(registers.size())) == registers) return true;
    }
    return false;
}

// Reads until the first cycle is in (a meter with none is a silent target).
Client::Read first_answer(Client& client, int first, int count, bool input = false) {
    Client::Read read;
    eventually([&] {
        read = client.Registers(first, count, input);
        return read.error != EMBXGTAR;
    });
    return read;
}

// The device's own lines go to standard output, shown only for a failure.
class ModbusServerPolled : public QuietTest {};

}  // namespace

TEST_F(ModbusServerPolled, ReadsAreTheRegistersOfOneServedCycleAndNothingOutsideABlock) {
    PolledServerRig rig(false);
    Client client(rig.port());
    ASSERT_TRUE(client.connected());
    const Client::Read voltages = first_answer(client, 1792, 22);
    ASSERT_EQ(voltages.error, 0) << modbus_strerror(voltages.error);
    EXPECT_TRUE(one_served_cycle_holds(rig.sim_log(), 1792, voltages.registers));
    // Function 4 serves the same registers; a range inside a block is served too.
    const Client::Read tail = client.Registers(1880, 8, true);
    ASSERT_EQ(tail.error, 0) << modbus_strerror(tail.error);
    EXPECT_TRUE(one_served_cycle_holds(rig.sim_log(), 1880, tail.registers));
    const Client::Read middle = client.Registers(1820, 10);
    ASSERT_EQ(middle.error, 0) << modbus_strerror(middle.error);
    EXPECT_TRUE(one_served_cycle_holds(rig.sim_log(), 1820, middle.registers));

    EXPECT_EQ(client.Registers(1813, 2).error, EMBXILADD);  // the end of one block and the start of the next
    EXPECT_EQ(client.Registers(0, 10).error, EMBXILADD);
    EXPECT_EQ(client.Registers(1862, 1).error, EMBXILADD);  // between the third block and the fourth
    EXPECT_EQ(client.Registers(1887, 2).error, EMBXILADD);  // past the last
}

TEST_F(ModbusServerPolled, WithoutAllowWritesWritesAndOtherFunctionsAreIllegal) {
    PolledServerRig rig(false);
    Client client(rig.port());
    ASSERT_EQ(first_answer(client, 1792, 1).error, 0);
    EXPECT_EQ(client.Write(256, {4660}), EMBXILFUN);
    EXPECT_EQ(client.Write(300, {1, 2}), EMBXILFUN);
    std::uint8_t coils[8];
    EXPECT_EQ(modbus_read_bits(client.context(), 0, 8, coils), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    // Two more cycles, after each of which the poll loop carries out the
    // writes asked for: it carried none.
    const std::size_t cycles = served_banks(rig.sim_log()).size();
    ASSERT_TRUE(eventually([&] { return served_banks(rig.sim_log()).size() >= cycles + 2; }));
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
}

TEST_F(ModbusServerPolled, AnAllowedWriteIsAnsweredOnceTheMeterConfirmedItAndAFailedOneIsADeviceFailure) {
    PolledServerRig rig(true);
    Client client(rig.port());
    ASSERT_EQ(first_answer(client, 1792, 1).error, 0);
    EXPECT_EQ(client.Write(256, {4660}), 0);
    EXPECT_EQ(client.Write(300, {1, 2, 65535}), 0);
    // The simulator logs a write just after answering it.
    ASSERT_TRUE(eventually([&] { return wrote_events(rig.sim_log()).size() == 2; }));
    const auto wrote = wrote_events(rig.sim_log());
    EXPECT_EQ(wrote[0]["address"].asInt(), 256);
    EXPECT_EQ(wrote[0]["values"][0].asInt(), 4660);
    EXPECT_EQ(wrote[1]["function"].asInt(), 16);
    EXPECT_EQ(wrote[1]["values"][2].asInt(), 65535);
    // The meter holds registers 0 to 1999: it refuses a write that runs past them.
    EXPECT_EQ(client.Write(1999, {1, 2}), EMBXSFAIL);
    EXPECT_EQ(wrote_events(rig.sim_log()).size(), 2u);
}

// --- Fed by hand --------------------------------------------------------------------------

namespace {

struct HandFedServer {
    HandFedServer() : meters(Meters()), lines(Lines(meters)), served(lines, clock), server(served, ListenAddress{"127.0.0.1", 0}, nullptr) {}

    // A completed cycle that ended `age` ago and read 1792 to 1795.
    void Cycle(std::chrono::seconds age, std::vector<std::uint16_t> registers) {
        auto report = std::make_shared<CycleReport>();
        report->meter = &meters.front();
        report->record = {1};
        report->ended_at = clock.Now() - age;
        report->read = {{1792, std::move(registers)}};
        served.Cycle(report);
    }

    static std::vector<DeviceConfig> Meters() {
        DeviceConfig meter;
        meter.data_id = 1;
        meter.slave = 1;
        return {meter};
    }
    static std::vector<LineInfo> Lines(const std::vector<DeviceConfig>& meters) {
        LineInfo line;
        for (const DeviceConfig& meter : meters) line.meters.push_back(&meter);
        return {line};
    }

    SteadyClock clock;
    std::vector<DeviceConfig> meters;
    std::vector<LineInfo> lines;
    ServedMeters served;
    ModbusServer server;
};

// A plain TCP connection, for what libmodbus's client would never send.
struct RawConnection {
    // From `from`, another loopback address for a client of another host.
    explicit RawConnection(int port, const char* from = "127.0.0.1") : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(fd); }
    bool Send(const std::vector<std::uint8_t>& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The server closed it, having sent nothing (a reset when it left
    // bytes unread).
    bool ClosedByServer() const {
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        if (poll(&p, 1, kPatienceMs) != 1) return false;
        const ssize_t got = read(fd, &byte, 1);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
    // The bytes of one answer that came within the tests' patience.
    std::vector<std::uint8_t> Answer() const {
        std::uint8_t bytes[MODBUS_TCP_MAX_ADU_LENGTH];
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kPatienceMs) != 1) return {};
        const ssize_t got = read(fd, bytes, sizeof bytes);
        return got > 0 ? std::vector<std::uint8_t>(bytes, bytes + got) : std::vector<std::uint8_t>{};
    }
    // Registers 1792 of unit 1 asked and answered.
    bool Reads() {
        return Send({0, 7, 0, 0, 0, 6, 1, 3, 0x07, 0x00, 0, 1}) && Answer().size() == 11;
    }
    int fd;
    bool connected = false;
};

}  // namespace

TEST(ModbusServerFedByHand, AMeterWithoutAFreshCycleIsASilentTargetAndAnUnknownUnitHasNoPath) {
    HandFedServer fed;
    Client client(fed.server.port());
    EXPECT_EQ(client.Registers(1792, 4).error, EMBXGTAR);  // no cycle yet
    fed.Cycle(std::chrono::seconds(0), {1, 2, 3, 4});
    const Client::Read fresh = client.Registers(1792, 4);
    EXPECT_EQ(fresh.error, 0);
    EXPECT_EQ(fresh.registers, (std::vector<std::uint16_t>{1, 2, 3, 4}));
    fed.Cycle(std::chrono::seconds(61), {5, 6, 7, 8});  // past the freshness limit of 60 s
    EXPECT_EQ(client.Registers(1792, 4).error, EMBXGTAR);
    Client stranger(fed.server.port(), 2);
    EXPECT_EQ(stranger.Registers(1792, 4).error, EMBXGPATH);
}

TEST(ModbusServerFedByHand, GarbageIsDroppedAndAHalfSentRequestStallsNobody) {
    HandFedServer fed;
    fed.Cycle(std::chrono::seconds(0), {1, 2, 3, 4});
    RawConnection garbage(fed.server.port());
    ASSERT_TRUE(garbage.Send({0, 1, 0, 7, 0, 6, 1, 3, 7, 0, 0, 4}));  // protocol 7: not Modbus
    EXPECT_TRUE(garbage.ClosedByServer());

    // Half a request's header, and nothing more: the others are answered
    // meanwhile, and the half is given up on.
    RawConnection slow(fed.server.port());
    ASSERT_TRUE(slow.Send({0, 1, 0}));
    Client client(fed.server.port());
    EXPECT_EQ(client.Registers(1792, 4).error, 0);
    EXPECT_TRUE(slow.ClosedByServer());
}

// Loopback addresses stand for hosts: 127.0.0.2 floods, the others fill
// the server, and a master from 127.0.0.1 still gets in.
TEST(ModbusServerFedByHand, OneAddressHoldsItsShareAndAFullServerLetsItsLeastActiveGo) {
    HandFedServer fed;
    fed.Cycle(std::chrono::seconds(0), {1, 2, 3, 4});
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (std::size_t i = 0; i <= ModbusServer::kMostClientsPerAddress; ++i) {
        flood.push_back(std::make_unique<RawConnection>(fed.server.port(), "127.0.0.2"));
        ASSERT_TRUE(flood.back()->Reads()) << "connection " << i;  // one past its share too: its first made room
    }
    EXPECT_TRUE(flood.front()->ClosedByServer());
    std::vector<std::unique_ptr<RawConnection>> others;
    for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        for (std::size_t i = 0; i < ModbusServer::kMostClientsPerAddress; ++i) {
            others.push_back(std::make_unique<RawConnection>(fed.server.port(), from));
            ASSERT_TRUE(others.back()->Reads()) << from;
        }
    }
    for (std::size_t i = 2; i < flood.size(); ++i) ASSERT_TRUE(flood[i]->Reads());  // the flood's second now least active
    ASSERT_EQ(1 + others.size() + flood.size() - 2, ModbusServer::kMostClients);   // full, counting flood[1]
    Client master(fed.server.port());
    EXPECT_EQ(master.Registers(1792, 4).error, 0);
    EXPECT_TRUE(flood[1]->ClosedByServer());
    for (const auto& other : others) EXPECT_TRUE(other->Reads());
}

TEST(ModbusServerFedByHand, AnExceptionsOwnCodeAskedAsAFunctionIsIllegalWithTheBitKept) {
    HandFedServer fed;
    RawConnection raw(fed.server.port());
    ASSERT_TRUE(raw.Send({0, 9, 0, 0, 0, 2, 1, 0x83}));
    EXPECT_EQ(raw.Answer(), (std::vector<std::uint8_t>{0, 9, 0, 0, 0, 3, 1, 0x83, MODBUS_EXCEPTION_ILLEGAL_FUNCTION}));
    ASSERT_TRUE(raw.Send({0, 10, 0, 0, 0, 2, 1, 0x2B}));  // and an ordinary unknown function gains it
    EXPECT_EQ(raw.Answer(), (std::vector<std::uint8_t>{0, 10, 0, 0, 0, 3, 1, 0xAB, MODBUS_EXCEPTION_ILLEGAL_FUNCTION}));
}
