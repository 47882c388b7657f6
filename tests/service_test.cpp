// qmxhost as systemd runs it: told where to notify (a datagram socket made
// here) and how often to feed its watchdog; reloaded by SIGHUP.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/sim_meter.h"

namespace {

// The service manager's end of NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
        std::remove(path_.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    const std::string& path() const { return path_; }
    // Every message until one holds `state` as a line of its own, which is
    // the last; none left when the patience ran out first.
    std::vector<std::string> Until(const std::string& state) {
        std::vector<std::string> said;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char message[4096];
            const ssize_t n = recv(fd_, message, sizeof message, 0);
            if (n <= 0) continue;
            said.emplace_back(message, static_cast<std::size_t>(n));
            if (("\n" + said.back() + "\n").find("\n" + state + "\n") != std::string::npos) return said;
        }
        return {};
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

void write_config(const std::string& path, const std::string& port, const std::string& meter_name) {
    std::ofstream(path) << R"({"line": {"port": ")" << port << R"("}, "interval": 0.2,
        "devices": [{"name": ")" << meter_name << R"(", "data_id": 1, "slave": 1}]})";
}

// The lines of the host's output up to the first event of `kind`, which is
// the last; none when the output ended or the patience ran out first.
std::vector<std::string> lines_until(ChildProcess& host, const std::string& kind) {
    std::vector<std::string> lines;
    while (auto line = host.ReadLine(kPatienceMs)) {
        lines.push_back(*line);
        if (parse_event(*line)["event"].asString() == kind) return lines;
    }
    return {};
}

int count_with(const std::vector<std::string>& lines, const std::string& text) {
    int found = 0;
    for (const std::string& line : lines) found += line.find(text) != std::string::npos ? 1 : 0;
    return found;
}

int count_events(const std::vector<std::string>& lines, const std::string& kind) {
    int found = 0;
    for (const std::string& line : lines) found += parse_event(line)["event"].asString() == kind ? 1 : 0;
    return found;
}

}  // namespace

// Ready once polling, fed while polling, reloaded with a changed meter on
// SIGHUP; a broken file refused in one line while polling goes on; stopping
// on SIGTERM with the usual status.
TEST(Service, NotifiesReadyFeedsTheWatchdogReloadsAndRefusesABrokenFile) {
    Meter meter;
    ASSERT_FALSE(meter.port.empty());
    NotifySocket notify(temp_path("notify"));
    ASSERT_TRUE(notify.bound()) << notify.path();
    const std::string config = temp_path("service.json");
    write_config(config, meter.port, "before");
    ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", config, "--json", "--history",
                       temp_path("service.db")},
                      ChildProcess::Output::with_errors,
                      {"env", "NOTIFY_SOCKET=" + notify.path(), "WATCHDOG_USEC=2000000"});

    auto said = lines_until(host, "start");
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(parse_event(said.back())["meter_names"][0].asString(), "before");
    // Opening the history may outlast the start timeout on a big file: the wait is extended first.
    const auto started = notify.Until("READY=1");
    ASSERT_FALSE(started.empty());
    EXPECT_NE(started.front().find("EXTEND_TIMEOUT_USEC="), std::string::npos) << started.front();
    ASSERT_FALSE(notify.Until("WATCHDOG=1").empty());

    write_config(config, meter.port, "after");
    host.Kill(SIGHUP);
    const auto reloading = notify.Until("RELOADING=1");
    ASSERT_FALSE(reloading.empty());
    EXPECT_NE(reloading.back().find("MONOTONIC_USEC="), std::string::npos) << reloading.back();
    ASSERT_FALSE(notify.Until("READY=1").empty());
    said = lines_until(host, "start");
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(parse_event(said.back())["meter_names"][0].asString(), "after");
    ASSERT_FALSE(lines_until(host, "cycle").empty());

    std::ofstream(config) << R"({"line": {"port": )";
    host.Kill(SIGHUP);
    said = lines_until(host, "cycle");
    ASSERT_FALSE(said.empty());
    // Its refusal (on standard error) comes among the cycles, which go on.
    for (int more = 0; more < 50 && count_with(said, "reload refused") == 0; ++more) {
        const auto next = lines_until(host, "cycle");
        ASSERT_FALSE(next.empty());
        said.insert(said.end(), next.begin(), next.end());
    }
    const auto cycles_after = lines_until(host, "cycle");
    ASSERT_FALSE(cycles_after.empty());
    said.insert(said.end(), cycles_after.begin(), cycles_after.end());
    EXPECT_EQ(count_with(said, "reload refused: " + config), 1);
    EXPECT_EQ(count_with(said, "the run goes on"), 1);
    EXPECT_EQ(count_events(said, "start"), 0);

    host.Kill(SIGTERM);
    const auto stopping = notify.Until("STOPPING=1");
    ASSERT_FALSE(stopping.empty());
    EXPECT_EQ(count_with(stopping, "RELOADING=1"), 0);
    host.ReadAll(kPatienceMs);
    EXPECT_EQ(host.Wait(), 0);
    std::remove(config.c_str());
}
