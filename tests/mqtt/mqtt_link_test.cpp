// The broker connection against a broker of MQTT 3.1.1 only, played by a
// socket that answers a version 5 CONNECT as such a broker does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

}  // namespace

TEST(MqttLinkVersions, ABrokerOfMqtt311OnlyIsReachedOnTheNextAttemptAndTheCostSaid) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = ntohs(address.sin_port);
    settings.client_id = "versions-test";
    settings.most_queued = 4;
    MqttLink link(settings, "t/availability", "online", "offline");
    link.Start();

    std::vector<int> levels;
    int client = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        pollfd p{listener, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 20000), 0) << "no connect came; " << levels.size() << " before";
        if (client >= 0) close(client);
        client = accept(listener, nullptr, nullptr);
        levels.push_back(connect_level(client));
        // CONNACK, "unacceptable protocol version" to version 5, accepted after.
        const std::uint8_t refused[] = {0x20, 0x02, 0x00, 0x01};
        const std::uint8_t accepted[] = {0x20, 0x02, 0x00, 0x00};
        ASSERT_EQ(write(client, attempt == 0 ? refused : accepted, 4), 4);
    }
    EXPECT_EQ(levels, (std::vector<int>{5, 4}));
    std::vector<std::string> said;
    for (int tries = 0; tries < 200 && said.empty(); ++tries) {
        for (const std::string& notice : link.TakeNotices()) {
            if (notice.find("3.1.1") != std::string::npos) said.push_back(notice);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("retained"), std::string::npos) << said[0];
    close(client);
    close(listener);
}
