// The web hooks' outlet against a real HTTP receiver on loopback that
// fails, stalls and recovers as a chat service or a phone gateway does.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "host/notify/notify_sink.h"
#include "tests/support/json_text.h"

namespace {

using namespace std::chrono_literals;

// What the receiver does with each post, in turn; once the script is
// used up it answers 200.
enum class Act { ok, fail, stall, refuse };

class Receiver {
public:
    explicit Receiver(std::deque<Act> script) : script_(std::move(script)) {
        server_.Post("/hook", [this](const httplib::Request& request, httplib::Response& response) {
            Act act = Act::ok;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!script_.empty()) act = script_.front(), script_.pop_front();
                bodies_.push_back(request.body);
                changed_.notify_all();
                // A stall outlasts the poster's deadline; the test lets it go.
                if (act == Act::stall) changed_.wait(lock, [this] { return released_; });
            }
            response.status = act == Act::fail ? 500 : act == Act::refuse ? 400 : 200;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        // Bound already: a post made before it listens waits in the backlog.
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Receiver() {
        Release();
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    void Release() {
        const std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    // Waits until `count` posts arrived; returns every body so far.
    std::vector<std::string> WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 60s, [&] { return bodies_.size() >= count; });
        return bodies_;
    }

private:
    httplib::Server server_;
    std::mutex mutex_;  // guards script_, bodies_, released_
    std::condition_variable changed_;
    std::deque<Act> script_;
    std::vector<std::string> bodies_;
    bool released_ = false;
    int port_ = 0;
    std::thread thread_;
};

class SaidNotices : public Notices {
public:
    void Say(const std::string& text) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        said_.push_back(text);
    }
    int Count(const std::string& part) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const std::string& text : said_) n += text.find(part) != std::string::npos;
        return n;
    }

private:
    mutable std::mutex mutex_;  // guards said_
    std::vector<std::string> said_;
};

NotifySettings hook_at(int port, std::size_t queue, double timeout_seconds) {
    NotifySettings settings;
    NotifyTarget target;
    target.url = parse_web_url("http://127.0.0.1:" + std::to_string(port) + "/hook");
    settings.targets.push_back(target);
    settings.queue = queue;
    settings.timeout_seconds = timeout_seconds;
    return settings;
}

// A meter that fails on odd cycles and answers on even ones: one event
// each, its cycle number in it.
std::shared_ptr<const CycleReport> cycle_of(const DeviceConfig& meter, int cycle) {
    auto report = std::make_shared<CycleReport>();
    report->meter = &meter;
    report->cycle = cycle;
    report->kind = cycle % 2 == 1 ? CycleKind::failed : CycleKind::poll;
    report->utc_ms = 1'800'000'000'000 + cycle * 1000;
    return report;
}

// Every event once, in order, whatever was posted twice: a post whose
// answer never came may have arrived.
std::vector<int> cycles_in_order(const std::vector<std::string>& bodies) {
    std::vector<int> cycles;
    std::set<std::string> ids;
    for (const std::string& body : bodies) {
        const Json::Value event = parse_json(body).value_or(Json::Value());
        if (ids.insert(event["id"].asString()).second) cycles.push_back(event["cycle"].asInt());
    }
    return cycles;
}

const DeviceConfig kChiller{"chiller", 11, 11, "/dev/ttyS1", {}, {}};

}  // namespace

TEST(Notify, AHookThatFailsAndStallsGetsEveryEventOnceInOrderWhileTheOutletNeverWaits) {
    Receiver receiver({Act::fail, Act::fail, Act::stall});
    SaidNotices notices;
    NotifySink sink(hook_at(receiver.port(), 100, 0.5), notices, 20ms, 80ms);
    // The receiver stalls the third post until released: were the outlet
    // to wait on a hook, the cycles after it would never be handed over.
    for (int cycle = 1; cycle <= 6; ++cycle) sink.Cycle(cycle_of(kChiller, cycle));
    receiver.WaitFor(3);
    for (int cycle = 7; cycle <= 8; ++cycle) sink.Cycle(cycle_of(kChiller, cycle));
    receiver.Release();
    sink.Finished();

    const std::vector<std::string> bodies = receiver.WaitFor(0);
    EXPECT_EQ(cycles_in_order(bodies), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    const Json::Value first = parse_json(bodies.front()).value_or(Json::Value());
    EXPECT_EQ(first["event"], "meter");
    EXPECT_EQ(first["change"], "failing");
    EXPECT_EQ(first["meter"], "chiller");
    EXPECT_EQ(first["utc"], "2027-01-15T08:00:01.000Z");
    EXPECT_EQ(notices.Count("not reached"), 1);
    EXPECT_EQ(notices.Count("answering again"), 1);
    EXPECT_EQ(sink.Counts().front().delivered, 8u);
    EXPECT_EQ(sink.Counts().front().held, 0u);
}

TEST(Notify, AFullQueueLetsTheOldestGoCountedAndSaidOnceAndARefusalIsNotRepeated) {
    Receiver receiver({Act::stall, Act::refuse});
    SaidNotices notices;
    NotifySink sink(hook_at(receiver.port(), 2, 60), notices, 20ms, 80ms);
    sink.Cycle(cycle_of(kChiller, 1));
    receiver.WaitFor(1);  // the first is posted and held while it stalls
    for (int cycle = 2; cycle <= 6; ++cycle) sink.Cycle(cycle_of(kChiller, cycle));
    EXPECT_EQ(sink.Counts().front().dropped, 4u);
    EXPECT_EQ(notices.Count("the oldest are let go"), 1);
    receiver.Release();
    sink.Finished();
    // 1 went out before it was let go; 5 refused, once; then 6.
    EXPECT_EQ(cycles_in_order(receiver.WaitFor(0)), (std::vector<int>{1, 5, 6}));
    EXPECT_EQ(sink.Counts().front().refused, 1u);
    EXPECT_EQ(notices.Count("refused an event"), 1);
}

TEST(Notify, ATemplateFillsTheEventEscapedForJsonAndLeavesOtherBracesAlone) {
    NotifyTarget chat;
    chat.body = R"({"text":"{message}","x":"{nothing}"})";
    Notification n = fault_notification("history \"h.db\" cannot be written", false, 0);
    const Json::Value body = parse_json(notification_body(chat, n)).value_or(Json::Value());
    EXPECT_EQ(body["text"], "history \"h.db\" cannot be written");
    EXPECT_EQ(body["x"], "{nothing}");
    chat.content_type = "text/plain";
    chat.body = "{change}: {message}";
    EXPECT_EQ(notification_body(chat, n), "began: history \"h.db\" cannot be written");
}
