// A whole site at once, every outlet on and every kind of client at it: four
// lines of two meters, the page with event-stream clients, /metrics scraped,
// the Modbus server read and written, MQTT to a real Mosquitto. Also built
// with ThreadSanitizer, so that every thread of a run is checked together.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "host/app/bench_run.h"
#include "host/config/settings_table.h"
#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/sim_meter.h"

namespace {

constexpr int kLines = 4;
constexpr int kMetersPerLine = 2;
constexpr int kMeters = kLines * kMetersPerLine;

int connect_to(int port) {
    const int fd = connect_loopback(port);
    if (fd < 0) return -1;
    timeval patience{kPatienceMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return fd;
}

// What a GET brings, the head and body as one text; empty when nothing came.
std::string get(int port, const std::string& path) {
    const int fd = connect_to(port);
    if (fd < 0) return "";
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char chunk[65536];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return answer;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// A stream client that reads until it has seen `cycles` cycles go by, once
// the page is there.
bool followed(int port, int cycles) {
    int fd = -1;
    for (int waited = 0; fd < 0 && waited < kPatienceMs; waited += 100) {
        fd = connect_to(port);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fd < 0) return false;
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string seen;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        for (ssize_t n; count_of(seen, "event: cycle\n") < static_cast<std::size_t>(cycles) &&
                        (n = read(fd, chunk, sizeof chunk)) > 0;) {
            seen.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return count_of(seen, "event: cycle\n") >= static_cast<std::size_t>(cycles);
}

}  // namespace

TEST(Site, FourLinesWithEveryOutletAndItsClientsAtOnce) {
    Broker broker;
    const HostSettings example = load_settings_file(QV5810_TEST_CONFIG);
    HostSettings settings = example;
    settings.plugin = QV5810_TEST_PLUGIN;
    settings.output.json = true;
    settings.lines.assign(kLines, example.lines.front());
    for (int l = 0; l < kLines; ++l) {
        LineConfig& line = settings.lines[static_cast<std::size_t>(l)];
        line.devices.clear();
        for (int m = 1; m <= kMetersPerLine; ++m) {
            DeviceConfig meter = example.lines.front().devices.front();
            meter.slave = l * kMetersPerLine + m;  // one unit id each, for the Modbus server
            meter.data_id = static_cast<std::uint32_t>(meter.slave);
            meter.name = "meter " + std::to_string(meter.slave);
            meter.setting["modbus"]["slave"] = meter.slave;
            line.devices.push_back(meter);
        }
    }
    settings.interval_seconds = 0.2;
    // Free ports, as the run's start event says which.
    settings.http = ListenAddress{"127.0.0.1", 0};
    settings.modbus_server = ListenAddress{"127.0.0.1", 0};
    settings.allow_writes = true;
    settings.mqtt.broker = parse_broker_url(broker.url());
    settings.mqtt.prefix = "site/";
    settings.mqtt.discovery = true;
    settings.mqtt.queue = 1000;
    const std::string events = temp_path("site.jsonl");
    std::FILE* out = std::fopen(events.c_str(), "w");
    std::ostringstream notes;
    StopSignal stop;
    auto run = std::async(std::launch::async, [&] {
        return run_bench_host(settings, RunEnvironment{QV5810_TEST_SIM, QV5810_TEST_EMULATOR, "test", out, &notes, ""}, stop);
    });
    // However the test ends, the run ends before the future waits for it.
    struct StopAtEnd {
        StopSignal& stop;
        ~StopAtEnd() { stop.Request(); }
    } stop_at_end{stop};
    Json::Value start;
    // The broker's link may say it connected before the run says it started.
    for (int waited = 0; !start.isObject() && waited < kPatienceMs; waited += 20) {
        std::ifstream in(events);
        for (std::string line; !start.isObject() && std::getline(in, line) && !in.eof();) {
            const Json::Value event = parse_event(line);
            if (event["event"] == "start") start = event;
        }
        if (!start.isObject()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The first event, before anything an outlet's thread says (a broker's link, say).
    ASSERT_EQ(start["event"].asString(), "start") << start.toStyledString() << notes.str();
    const int http_port = std::stoi(start["http"].asString().substr(start["http"].asString().rfind(':') + 1));
    const int modbus_port = std::stoi(start["modbus_server"].asString().substr(start["modbus_server"].asString().rfind(':') + 1));
    ChildProcess states({"mosquitto_sub", "-p", std::to_string(broker.port()), "-t", "site/+/state", "-C",
                         std::to_string(3 * kMeters)});

    // Each client on a thread of its own, as many at once as a site sees.
    std::vector<std::future<bool>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::async(std::launch::async, [&] { return followed(http_port, 3 * kMeters); }));
    clients.push_back(std::async(std::launch::async, [&] {
        // Every meter's values in one scrape.
        for (int waited = 0; waited < kPatienceMs; waited += 200) {
            if (count_of(get(http_port, "/metrics"), "qv5810_phase_voltage_volts{") == 3 * kMeters) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }));
    clients.push_back(std::async(std::launch::async, [&] {
        // Each meter's first block from the Modbus server, then a write through it.
        modbus_t* client = modbus_new_tcp("127.0.0.1", modbus_port);
        modbus_set_response_timeout(client, static_cast<std::uint32_t>(kPatienceMs / 1000), 0);
        bool every = false;
        for (int waited = 0; waited < kPatienceMs && !every; waited += 200) {
            if (modbus_connect(client) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                continue;
            }
            every = true;
            for (int unit = 1; unit <= kMeters && every; ++unit) {
                std::uint16_t registers[22];
                modbus_set_slave(client, unit);
                every = modbus_read_registers(client, 1792, 22, registers) == 22;
            }
            if (!every) {
                modbus_close(client);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        }
        modbus_set_slave(client, kMeters);
        const bool wrote = every && modbus_write_register(client, 256, 4660) == 1;
        modbus_close(client);
        modbus_free(client);
        return wrote;
    }));
    const std::vector<std::string> published = states.ReadAll(kPatienceMs * 2);
    for (auto& client : clients) EXPECT_TRUE(client.get());
    EXPECT_EQ(published.size(), static_cast<std::size_t>(3 * kMeters));
    stop.Request();
    EXPECT_EQ(run.get(), 0);
    std::fclose(out);
    std::remove(events.c_str());
}
