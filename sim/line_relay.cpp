#include "sim/line_relay.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

// How long a silence ends a frame; a pty delivers a frame in one piece, so a
// few milliseconds are plenty even when the line is not paced.
constexpr int kFrameGapMs = 2;
constexpr int kAnswerWaitMs = 1000;

void sleep_until(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
    }
}

timespec after(timespec t, std::chrono::nanoseconds delta) {
    const long long ns = t.tv_nsec + delta.count();
    t.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    t.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return t;
}

// The length an RTU frame announces once its first bytes are in, or 0 while
// that is not yet known (or the function is not one the meter serves).
std::size_t announced_length(const std::vector<std::uint8_t>& frame, bool answer) {
    if (frame.size() < 2) return 0;
    const int function = frame[1];
    if ((function & 0x80) != 0) return 5;
    if (function == 0x03 && answer) return frame.size() >= 3 ? 5u + frame[2] : 0;
    if (function == 0x03 || function == 0x06 || (function == 0x10 && answer)) return 8;
    if (function == 0x10) return frame.size() >= 7 ? 9u + frame[6] : 0;
    return 0;
}

}  // namespace

LineRelay::LineRelay(int line_fd, std::vector<Meter> meters, LineFaults faults, LineTiming timing, SimLog& log)
    : line_fd_(line_fd), meters_(std::move(meters)), faults_(faults, log), timing_(timing), log_(log) {}

int LineRelay::LongestAnswerMs() const {
    // Paced, a frame takes at most 256 characters and its 3.5-character gap.
    const auto paced = timing_.emulate ? CharTime() * 2 * (256 + 4) : std::chrono::nanoseconds(0);
    return kAnswerWaitMs + faults_.faults().slow_ms +
           static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(paced).count()) + kFrameGapMs;
}

std::chrono::nanoseconds LineRelay::CharTime() const {
    return std::chrono::nanoseconds(1000000000LL * timing_.bits_per_char / timing_.baud);
}

// A frame ends where its own length says, so that no silence has to be
// waited out; a frame of unknown length ends with a silence.
std::vector<std::uint8_t> LineRelay::ReadFrame(int fd, int first_wait_ms, bool answer) {
    std::vector<std::uint8_t> frame;
    int wait = first_wait_ms;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0 || (p.revents & POLLIN) == 0) return frame;
        std::uint8_t chunk[512];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return frame;
        frame.insert(frame.end(), chunk, chunk + n);
        const std::size_t length = announced_length(frame, answer);
        if (length != 0 && frame.size() >= length) return frame;
        wait = kFrameGapMs;
    }
}

void LineRelay::Send(int fd, const std::vector<std::uint8_t>& frame) {
    if (!timing_.emulate) {
        for (std::size_t done = 0; done < frame.size();) {
            const ssize_t n = write(fd, frame.data() + done, frame.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
        return;
    }
    // The 3.5-character silence that opens every RTU frame, then one
    // character time per byte.
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    next = after(next, CharTime() * 7 / 2);
    for (std::uint8_t byte : frame) {
        sleep_until(next);
        if (write(fd, &byte, 1) != 1) return;
        next = after(next, CharTime());
    }
    sleep_until(next);
}

void LineRelay::Answer(const Meter& meter, const std::atomic<bool>& keep_running) {
    std::vector<std::uint8_t> answer = ReadFrame(meter.fd, kAnswerWaitMs, true);
    if (answer.empty()) return;
    const AnswerFaults::Fate fate = faults_.Next(meter.slave);
    if (fate.drop) return;
    if (fate.corrupt) answer.back() ^= 0x01;
    if (fate.stray) Send(line_fd_, stray_frame());
    if (fate.hold_ms > 0 && !hold_back(fate.hold_ms, keep_running)) return;
    Send(line_fd_, answer);
    log_.Answered(meter.slave);
}

void LineRelay::Run(const std::atomic<bool>& keep_running) {
    while (keep_running) {
        const std::vector<std::uint8_t> request = ReadFrame(line_fd_, 200, false);
        if (request.empty()) continue;
        if (request.size() >= 2) log_.Request(request[0], request[1]);
        if (timing_.emulate) {
            // The request took its own time on the wire before the meter saw it.
            std::this_thread::sleep_for(CharTime() * static_cast<long>(request.size() * 2 + 7) / 2);
        }
        const auto meter = std::find_if(meters_.begin(), meters_.end(),
                                        [&](const Meter& m) { return m.slave == request[0]; });
        if (meter == meters_.end()) continue;  // addressed to no meter of ours: silence
        if (write(meter->fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) continue;
        Answer(*meter, keep_running);
    }
}
