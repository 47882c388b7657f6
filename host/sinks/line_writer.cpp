#include "host/sinks/line_writer.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

std::size_t lines_in(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

struct LineWriter::State {
    State(int fd_, std::function<void(const std::string&)> tell_, std::function<void()> gone_, std::size_t most)
        : fd(fd_), tell(std::move(tell_)), gone(std::move(gone_)), most_queued(most) {}

    const int fd;
    const std::function<void(const std::string&)> tell;
    const std::function<void()> gone;
    const std::size_t most_queued;

    std::mutex writer_mutex;  // guards everything below
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t queued_bytes = 0;
    bool writing = false;   // a chunk is on its way to the output
    bool closing = false;
    bool broken = false;    // the output refuses writes for good
    bool blocked = false;   // lines are being dropped: said once
    bool abandoned = false; // Close gave up on the output: nothing more is said
    std::size_t lost = 0;
    std::size_t lost_when_said = 0;

    // With writer_mutex held: the count of lines dropped changes into words.
    void SayBlocked() {
        if (blocked || broken) return;
        blocked = true;
        lost_when_said = lost;
        tell("standard output blocked: lines are not written until it takes them again");
    }

    // Whole chunks, as Write handed them over; false once the output went.
    bool Put(const std::string& chunk) {
        std::size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = ::write(fd, chunk.data() + done, chunk.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    void Run() {
        std::unique_lock<std::mutex> lock(writer_mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !queue.empty(); });
            if (queue.empty()) return;
            std::string chunk = std::move(queue.front());
            queue.pop_front();
            queued_bytes -= chunk.size();
            writing = true;
            lock.unlock();
            const bool put = Put(chunk);
            lock.lock();
            writing = false;
            if (abandoned) return;
            if (!put && !broken) {
                broken = true;
                lost += lines_in(chunk);
                for (const std::string& left : queue) lost += lines_in(left);
                queue.clear();
                queued_bytes = 0;
                tell("standard output closed: " + std::to_string(lost) + " line(s) not written");
                lock.unlock();
                gone();
                lock.lock();
            } else if (blocked && queue.empty()) {
                blocked = false;
                tell("standard output taking lines again; " + std::to_string(lost - lost_when_said) +
                     " line(s) were not written while it was blocked");
            }
            changed.notify_all();
        }
    }
};

LineWriter::LineWriter(int fd, std::function<void(const std::string&)> tell, std::function<void()> gone,
                       std::size_t most_queued)
    : state_(std::make_shared<State>(fd, std::move(tell), std::move(gone), most_queued)) {
    std::thread thread([state = state_] { state->Run(); });
    pthread_setname_np(thread.native_handle(), "output");
    // The thread holds its state: an output blocked for good at the end
    // leaves it waiting, and the process ends regardless.
    thread.detach();
}

LineWriter::~LineWriter() { Close(std::chrono::seconds(2)); }

void LineWriter::Write(std::string lines) {
    State& s = *state_;
    {
        const std::lock_guard<std::mutex> lock(s.writer_mutex);
        if (s.closing) return;
        if (s.broken) {
            s.lost += lines_in(lines);
            return;
        }
        if (s.queued_bytes + lines.size() > s.most_queued) {
            s.lost += lines_in(lines);
            s.SayBlocked();
            return;
        }
        s.queued_bytes += lines.size();
        s.queue.push_back(std::move(lines));
    }
    s.changed.notify_all();
}

std::size_t LineWriter::lost() const {
    const std::lock_guard<std::mutex> lock(state_->writer_mutex);
    return state_->lost;
}

void LineWriter::Close(std::chrono::milliseconds patience) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.writer_mutex);
    if (s.closing) return;
    s.closing = true;
    s.changed.notify_all();
    const bool written = s.changed.wait_for(lock, patience, [&s] { return s.queue.empty() && !s.writing; });
    if (written) return;
    std::size_t held = 0;
    for (const std::string& left : s.queue) held += lines_in(left);
    s.lost += held;
    s.queue.clear();
    s.queued_bytes = 0;
    s.abandoned = true;
    s.tell("standard output still blocked at the end: " + std::to_string(s.lost) + " line(s) not written");
}
