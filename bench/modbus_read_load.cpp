// Clients of the Modbus server reading as fast as a site's SCADA might, but
// many at once: CLIENTS connections share RATE reads a second of one
// 22-register block of unit 1 for SECONDS, each paced to its share. Prints
// the reads' latency percentiles. With no clients it only waits for the
// server's first answer and then for SECONDS, for a run without load.
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kFirst = 1792;
constexpr int kCount = 22;

modbus_t* connect_to(int port) {
    modbus_t* context = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(context, 1);
    modbus_set_response_timeout(context, 5, 0);
    if (modbus_connect(context) != 0) {
        modbus_free(context);
        return nullptr;
    }
    return context;
}

// The server is up and its meter has completed a cycle.
bool served_within(int port, std::chrono::seconds patience) {
    const auto deadline = Steady::now() + patience;
    while (Steady::now() < deadline) {
        if (modbus_t* context = connect_to(port)) {
            std::uint16_t registers[kCount];
            const bool read = modbus_read_registers(context, kFirst, kCount, registers) == kCount;
            modbus_close(context);
            modbus_free(context);
            if (read) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: modbus_read_load PORT CLIENTS RATE SECONDS\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int clients = std::atoi(argv[2]);
    const double rate = std::atof(argv[3]);
    const auto duration = std::chrono::seconds(std::atoi(argv[4]));
    if (!served_within(port, std::chrono::seconds(60))) {
        std::fprintf(stderr, "modbus_read_load: no answer from port %d\n", port);
        return 1;
    }
    if (clients == 0) {
        std::this_thread::sleep_for(duration);
        return 0;
    }
    const auto period = std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(clients / rate));
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const auto start = Steady::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            modbus_t* context = connect_to(port);
            if (context == nullptr) {
                ++failures;
                return;
            }
            std::uint16_t registers[kCount];
            // Staggered, so that the clients' reads spread over each period.
            auto next = start + period * c / clients;
            while (next < start + duration) {
                std::this_thread::sleep_until(next);
                const auto asked = Steady::now();
                if (modbus_read_registers(context, kFirst, kCount, registers) == kCount) {
                    latencies[static_cast<std::size_t>(c)].push_back(
                        std::chrono::duration<double, std::milli>(Steady::now() - asked).count());
                } else {
                    ++failures;
                }
                next += period;
            }
            modbus_close(context);
            modbus_free(context);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<double> all;
    for (const auto& each : latencies) all.insert(all.end(), each.begin(), each.end());
    if (all.empty()) {
        std::fprintf(stderr, "modbus_read_load: no read answered\n");
        return 1;
    }
    std::sort(all.begin(), all.end());
    const double seconds = std::chrono::duration<double>(duration).count();
    std::printf("reads: %zu answered (%.0f/s over %d clients), %d failed\n", all.size(),
                static_cast<double>(all.size()) / seconds, clients, failures.load());
    std::printf("latency: p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(all, 0.5),
                percentile(all, 0.9), percentile(all, 0.99), all.back());
    return failures == 0 ? 0 : 1;
}
