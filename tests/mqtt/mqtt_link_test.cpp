// The broker connection against brokers played by a socket: one of MQTT
// 3.1.1 only, which answers a version 5 CONNECT as such a broker does, and
// one that refuses every login.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "host/mqtt/mqtt_link.h"

namespace {

// The protocol level of the CONNECT a client sends on `fd`, or -1: fixed
// header, remaining length, the name "MQTT" with its length, then the level.
int connect_level(int fd) {
    std::uint8_t packet[64] = {};
    std::size_t got = 0;
    while (got < 10) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return -1;
        const ssize_t n = read(fd, packet + got, sizeof packet - got);
        if (n <= 0) return -1;
        got += static_cast<std::size_t>(n);
    }
    if (packet[0] != 0x10) return -1;
    std::size_t at = 1;
    while ((packet[at] & 0x80) != 0) ++at;  // the remaining length's bytes
    return packet[at + 7];
}

// A listening socket on a free loopback port.
struct FakeBroker {
    FakeBroker() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 16);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~FakeBroker() { close(listener); }
    // The next client's connection, or -1 when none comes within `ms`.
    int Accept(int ms) const {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return -1;
        return accept(listener, nullptr, nullptr);
    }
    int listener = -1;
    int port = 0;
};

MqttSettings settings_for(const FakeBroker& broker) {
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = broker.port;
    settings.client_id = "link-test";
    settings.most_queued = 4;
    return settings;
}

// What the link says, as the outlet's notices would take it.
struct Said {
    void operator()(const std::string& text) {
        const std::lock_guard<std::mutex> lock(said_mutex);
        texts.push_back(text);
    }
    std::vector<std::string> Containing(const std::string& part) {
        const std::lock_guard<std::mutex> lock(said_mutex);
        std::vector<std::string> found;
        for (const std::string& text : texts) {
            if (text.find(part) != std::string::npos) found.push_back(text);
        }
        return found;
    }
    std::mutex said_mutex;
    std::vector<std::string> texts;
};

}  // namespace

TEST(MqttLinkVersions, ABrokerOfMqtt311OnlyIsReachedOnTheNextAttemptAndTheCostSaid) {
    FakeBroker broker;
    Said said;
    MqttLink link(settings_for(broker), LinkWill{"t/availability"}, std::ref(said));
    link.Start();

    std::vector<int> levels;
    int client = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int next = broker.Accept(20000);
        ASSERT_GE(next, 0) << "no connect came; " << levels.size() << " before";
        if (client >= 0) close(client);
        client = next;
        levels.push_back(connect_level(client));
        // CONNACK, "unacceptable protocol version" to version 5, accepted after.
        const std::uint8_t refused[] = {0x20, 0x02, 0x00, 0x01};
        const std::uint8_t accepted[] = {0x20, 0x02, 0x00, 0x00};
        ASSERT_EQ(write(client, attempt == 0 ? refused : accepted, 4), 4);
    }
    EXPECT_EQ(levels, (std::vector<int>{5, 4}));
    // Said once the connect it answers has been taken.
    for (int tries = 0; tries < 1000 && said.Containing("connected to").empty(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto older = said.Containing("3.1.1");
    ASSERT_EQ(older.size(), 1u);
    EXPECT_NE(older[0].find("retained"), std::string::npos) << older[0];
    close(client);
}

// A broker that refuses the login is asked again after 1 s, then 2 s, 4 s:
// never in a loop that would flood it and its log.
TEST(MqttLinkRefusals, ARefusingBrokerIsAskedLessAndLessOftenAndTheRefusalSaidOnce) {
    FakeBroker broker;
    Said said;
    MqttLink link(settings_for(broker), LinkWill{"t/availability"}, std::ref(said));
    link.Start();
    std::vector<std::chrono::steady_clock::time_point> connects;
    while (connects.size() < 4) {
        const int client = broker.Accept(20000);
        ASSERT_GE(client, 0) << "no connect came after " << connects.size();
        connects.push_back(std::chrono::steady_clock::now());
        // CONNACK of MQTT 5: "not authorized", no properties.
        const std::uint8_t refused[] = {0x20, 0x03, 0x00, 0x87, 0x00};
        ASSERT_EQ(write(client, refused, sizeof refused), static_cast<ssize_t>(sizeof refused));
        close(client);
    }
    // Each pause at least the one before doubled, less a little for the connect itself.
    for (std::size_t i = 1; i < connects.size(); ++i) {
        EXPECT_GE(connects[i] - connects[i - 1], std::chrono::milliseconds((1000 << (i - 1)) - 200)) << i;
    }
    EXPECT_EQ(said.Containing("refused the connection").size(), 1u);
}
