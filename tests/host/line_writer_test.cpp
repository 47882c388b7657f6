// The writer of the run's own output: a reader that stops reading costs
// lines, counted and said once per change, never a wait; a reader gone
// for good ends the run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <algorithm>
#include <functional>
#include <thread>

#include "host/sinks/line_writer.h"

namespace {

struct Told {
    void operator()(const std::string& text) {
        const std::lock_guard<std::mutex> lock(told_mutex);
        said.push_back(text);
    }
    std::size_t Count(const std::string& part) {
        const std::lock_guard<std::mutex> lock(told_mutex);
        std::size_t n = 0;
        for (const std::string& text : said) n += text.find(part) != std::string::npos;
        return n;
    }
    std::mutex told_mutex;
    std::vector<std::string> said;
};

bool eventually(const std::function<bool()>& done) {
    for (int waited = 0; waited < 60000; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(LineWriter, AReaderThatStopsReadingCostsLinesNotWaitsAndEachChangeIsSaidOnce) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Told told;
    std::atomic<bool> gone{false};
    // The reader has stopped: the pipe is full before the writer writes.
    const int filler = open(("/proc/self/fd/" + std::to_string(ends[1])).c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string block(4096, '-');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);
    LineWriter writer(ends[1], std::ref(told), [&gone] { gone = true; }, 4096);
    const std::string line(99, 'x');
    // Far more than the pipe and the queue hold; each Write returns at once.
    for (int i = 0; i < 2000; ++i) writer.Write(line + "\n");
    ASSERT_TRUE(eventually([&] { return told.Count("standard output blocked") == 1; }));
    const std::size_t lost = writer.lost();
    EXPECT_GT(lost, 1000u);
    // The reader reads again: what was queued arrives, and the return is said.
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::size_t read_lines = 0;
    ASSERT_TRUE(eventually([&] {
        char chunk[65536];
        for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) {
            read_lines += static_cast<std::size_t>(std::count(chunk, chunk + n, '\n'));
        }
        return told.Count("taking lines again") == 1;
    }));
    EXPECT_EQ(read_lines + lost, 2000u);
    EXPECT_EQ(told.Count("standard output blocked"), 1u);
    EXPECT_FALSE(gone);
    // The reader goes for good: the run is told to stop.
    std::signal(SIGPIPE, SIG_IGN);  // qmxhost blocks it
    close(ends[0]);
    writer.Write(line + "\n");
    EXPECT_TRUE(eventually([&] { return gone.load(); }));
    writer.Close(std::chrono::seconds(1));
    close(ends[1]);
}
