// The HTTP server's shares under clients that take all they can: room made
// by closing the longest idle connection, heavy requests in line by
// address, answers made only as fast as they are taken.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/http/http_server.h"
#include "tests/live/raw_client.h"

namespace {

const std::string kGet = "HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Light requests answered at once; /heavy held until released, in the
// order the server starts them; /export made in pieces, counted.
class Handler : public HttpHandler {
public:
    static constexpr int kPieces = 400;

    ApiResponse Handle(const ApiRequest& request) override {
        ApiResponse answer;
        if (request.path == "/export") {
            answer.pieces = [this, made = 0](std::string& out) mutable {
                out.append(64 * 1024, 'x');
                ++pieces;
                return ++made < kPieces;
            };
            return answer;
        }
        answer.body = "ok";
        if (request.path != "/heavy") return answer;
        std::unique_lock<std::mutex> lock(handler_mutex);
        const std::size_t place = started.size();
        started.push_back(request.params.find("who")->second);
        changed.notify_all();
        changed.wait(lock, [&] { return released > place; });
        return answer;
    }
    bool Heavy(const ApiRequest& request) const override { return request.path != "/light"; }

    // Waits until `count` heavy requests started.
    bool Started(std::size_t count) {
        std::unique_lock<std::mutex> lock(handler_mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return started.size() >= count; });
    }
    void Release() {
        const std::lock_guard<std::mutex> lock(handler_mutex);
        ++released;
        changed.notify_all();
    }

    std::mutex handler_mutex;  // guards started and released
    std::condition_variable changed;
    std::vector<std::string> started;
    std::size_t released = 0;
    std::atomic<int> pieces{0};
};

// A client from `from` whose request was answered; retried while the
// server has not yet found room (a connection turns idle just after its answer).
std::unique_ptr<RawClient> answered(int port, const char* from) {
    for (int tries = 0; tries < 100; ++tries) {
        auto client = std::make_unique<RawClient>(port, from);
        if (client->Send("GET /light " + kGet) && client->Until("ok", 20000).find("200 OK") != std::string::npos) return client;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no answer for a client from " << from;
    return nullptr;
}

// Waits until the server holds what `reached` asks of its load.
template <class Reached>
bool load_reached(const HttpServer& server, Reached reached) {
    for (int tries = 0; tries < 2000; ++tries) {
        if (reached(server.Load())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool idle_reached(const HttpServer& server, int idle) {
    return load_reached(server, [idle](const HttpLoad& load) { return load.idle == idle; });
}

TEST(HttpShares, AFullServerClosesTheLongestIdleConnectionAnAddressItsOwnFirst) {
    Handler handler;
    EventHub events;
    HttpLimits limits;
    limits.connections = 3;
    limits.connections_per_address = 2;
    limits.requests_per_connection = 3;
    HttpServer server(handler, events, ListenAddress{"127.0.0.1", 0}, {}, limits);
    auto a1 = answered(server.port(), "127.0.0.2");
    ASSERT_TRUE(idle_reached(server, 1));
    auto a2 = answered(server.port(), "127.0.0.2");
    ASSERT_TRUE(idle_reached(server, 2));
    // The address holds its share: its own longest idle makes room.
    auto a3 = answered(server.port(), "127.0.0.2");
    ASSERT_TRUE(a1 && a2 && a3);
    EXPECT_TRUE(a1->ClosedWithin(20000));
    ASSERT_TRUE(idle_reached(server, 2));
    ASSERT_TRUE(a2->Send("GET /light " + kGet));
    const std::string a2_again = a2->Until("ok", 20000);
    EXPECT_NE(a2_again.find("200 OK"), std::string::npos) << a2_again;
    ASSERT_TRUE(idle_reached(server, 2));
    auto b1 = answered(server.port(), "127.0.0.3");
    ASSERT_TRUE(idle_reached(server, 3));
    // The server is full: a new address gets in, the longest idle (a3) goes.
    auto c1 = answered(server.port(), "127.0.0.4");
    ASSERT_TRUE(b1 && c1);
    EXPECT_TRUE(a3->ClosedWithin(20000));
    // However often renewed, a connection ends with its third answer.
    ASSERT_TRUE(b1->Send("GET /light " + kGet));
    EXPECT_EQ(b1->Until("ok", 20000).find("Connection: close"), std::string::npos);
    ASSERT_TRUE(b1->Send("GET /light " + kGet));
    EXPECT_NE(b1->Until("ok", 20000).find("Connection: close"), std::string::npos);
    EXPECT_TRUE(b1->ClosedWithin(20000));
}

TEST(HttpShares, HeavyRequestsWaitInLineByAddressAndTheLightOnesNever) {
    Handler handler;
    EventHub events;
    HttpLimits limits;
    limits.heavy_per_address = 1;
    limits.heavy_waiting_per_address = 2;
    limits.heavy_in_all = 1;
    HttpServer server(handler, events, ListenAddress{"127.0.0.1", 0}, {}, limits);
    std::vector<std::unique_ptr<RawClient>> heavy;
    const auto ask = [&](const char* from, const std::string& who) {
        heavy.push_back(std::make_unique<RawClient>(server.port(), from));
        EXPECT_TRUE(heavy.back()->Send("GET /heavy?who=" + who + " " + kGet));
    };
    const auto waiting = [&](int count) {
        return load_reached(server, [count](const HttpLoad& load) { return load.heavy_waiting == count; });
    };
    ask("127.0.0.2", "a1");
    ASSERT_TRUE(handler.Started(1));
    ask("127.0.0.2", "a2");
    ASSERT_TRUE(waiting(1));
    ask("127.0.0.2", "a3");
    ASSERT_TRUE(waiting(2));
    ask("127.0.0.3", "b1");
    ASSERT_TRUE(waiting(3));
    // a2 and a3 wait (b1's line is its own), so a4 finds its address's line full.
    RawClient a4(server.port(), "127.0.0.2");
    ASSERT_TRUE(a4.Send("GET /heavy?who=a4 " + kGet));
    const std::string refused = a4.Until("}", 20000);
    EXPECT_NE(refused.find("429"), std::string::npos) << refused;
    EXPECT_NE(refused.find("Retry-After: 1"), std::string::npos) << refused;
    // The busy address's light request is answered while its heavy one is held.
    EXPECT_TRUE(answered(server.port(), "127.0.0.2"));
    // Each freed place goes to the next address in turn, not the longest line.
    for (std::size_t i = 1; i <= 3; ++i) {
        handler.Release();
        ASSERT_TRUE(handler.Started(i + 1));
    }
    handler.Release();
    EXPECT_EQ(handler.started, (std::vector<std::string>{"a1", "b1", "a2", "a3"}));
    for (auto& client : heavy) EXPECT_NE(client->Until("ok", 20000).find("200 OK"), std::string::npos);
}

TEST(HttpShares, AnAnswerInPiecesIsMadeAsItIsTakenAndAHeadMakesNone) {
    Handler handler;
    EventHub events;
    HttpServer server(handler, events, ListenAddress{"127.0.0.1", 0});
    RawClient head(server.port());
    ASSERT_TRUE(head.Send("HEAD /export " + kGet));
    EXPECT_NE(head.Until("\r\n\r\n", 20000).find("HTTP/1.1 200"), std::string::npos);
    ASSERT_TRUE(head.Send("GET /light " + kGet));
    EXPECT_NE(head.Until("ok", 20000).find("200 OK"), std::string::npos);
    EXPECT_EQ(handler.pieces, 0);

    // A reader that stops: what is made stops soon after, the socket's buffers full.
    RawClient slow(server.port(), nullptr, 16 * 1024);
    ASSERT_TRUE(slow.Send("GET /export " + kGet));
    EXPECT_NE(slow.StatusLine().find("200"), std::string::npos);
    for (int made = -1, tries = 0; made != handler.pieces && tries < 100; ++tries) {
        made = handler.pieces;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_LT(handler.pieces, Handler::kPieces / 2);
    // Taken to its end, the whole answer comes, its last chunk last.
    const std::string rest = slow.Until("\r\n0\r\n\r\n", 60000);
    EXPECT_EQ(handler.pieces, Handler::kPieces);
    EXPECT_GE(rest.size(), std::size_t{Handler::kPieces} * 64 * 1024);
    EXPECT_EQ(rest.substr(rest.size() - 7), "\r\n0\r\n\r\n");
}

}  // namespace
