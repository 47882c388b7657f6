// The HTTP server as an attacker and a careless client meet it: requests in
// the name of another site, writes without a login, heads and bodies out of
// bounds, pipelines, TLS. What is refused must never reach the meter.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <fstream>

#include "host/access/access.h"
#include "tests/live/live_rig.h"
#include "tests/live/raw_client.h"
#include "tests/support/quiet_test.h"
#include "tests/support/sim_meter.h"

namespace {

class LiveGuards : public QuietTest {};

const std::string kWrite = R"({"address": 256, "values": [4660]})";

// A whole request: its head lines, then the body with its length.
std::string request(const std::string& head, const std::string& body = "") {
    return head + "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string status_of(int port, const std::string& text) {
    RawClient client(port);
    if (!client.Send(text)) return "not sent";
    return client.StatusLine().substr(0, 12);
}

struct Credentials {
    std::string file = temp_path("users");
    std::string token = new_token();

    Credentials() {
        std::ofstream out(file);
        out << "# who may write\n" << password_line("anna", "pw of anna") << "\n" << token_line("grafana", token) << "\n";
    }
    ~Credentials() { std::remove(file.c_str()); }
};

httplib::Headers origin_of(const LiveRig& rig) {
    return {{"Origin", "http://127.0.0.1:" + std::to_string(rig.port())}};
}

}  // namespace

TEST_F(LiveGuards, AnotherHostsNameOrAnotherSitesOriginNeverReachesTheMeter) {
    LiveRig rig;
    rig.DeviceAfter(1);
    const std::string own = "http://127.0.0.1:" + std::to_string(rig.port());
    const std::string post = "POST /api/devices/1/registers HTTP/1.1\r\n";
    // A page of evil.example whose name was rebound to this machine names its own host.
    EXPECT_EQ(status_of(rig.port(), request(post + "Host: evil.example:8080\r\nOrigin: http://evil.example:8080\r\n", kWrite)),
              "HTTP/1.1 421");
    EXPECT_EQ(status_of(rig.port(), request("GET /api/devices HTTP/1.1\r\nHost: evil.example\r\n")), "HTTP/1.1 421");
    // A request another site's page sends here carries that site's origin.
    EXPECT_EQ(status_of(rig.port(), request(post + "Host: 127.0.0.1\r\nOrigin: http://evil.example\r\n", kWrite)),
              "HTTP/1.1 403");
    EXPECT_EQ(status_of(rig.port(), request(post + "Host: 127.0.0.1\r\nOrigin: null\r\n", kWrite)), "HTTP/1.1 403");
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());
    // The page's own request, the same otherwise, is carried out.
    const std::string host = "Host: 127.0.0.1:" + std::to_string(rig.port()) + "\r\n";
    EXPECT_EQ(status_of(rig.port(), request(post + host + "Origin: " + own + "\r\n", kWrite)), "HTTP/1.1 200");
    EXPECT_EQ(wrote_events(rig.sim_log()).size(), 1u);
}

TEST_F(LiveGuards, WritesNeedALoginOrATokenOnceThereAreCredentials) {
    const Credentials credentials;
    LiveRigOptions options;
    options.users_file = credentials.file;
    LiveRig rig(options);
    rig.DeviceAfter(1);
    httplib::Client client("127.0.0.1", rig.port());
    // A password's check is memory-hard: seconds under an emulator on a busy machine.
    client.set_read_timeout(60, 0);
    const auto write = [&](const httplib::Headers& headers) {
        const auto result = client.Post("/api/devices/1/registers", headers, kWrite, "application/json");
        return result ? result->status : 0;
    };
    EXPECT_EQ(rig.Get("/api/devices").status, 200);  // reads stay open
    EXPECT_EQ(write(origin_of(rig)), 401);
    EXPECT_EQ(write({}), 403);  // neither a page's origin nor a token
    EXPECT_EQ(write({{"Authorization", "Bearer " + new_token()}}), 403);  // a token nobody was given
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());

    const auto log_in = [&](const std::string& password) {
        return client.Post("/api/login", origin_of(rig), R"({"user": "anna", "password": ")" + password + "\"}",
                           "application/json");
    };
    const auto refused = log_in("pw of bob");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    const auto logged_in = log_in("pw of anna");
    ASSERT_TRUE(logged_in);
    ASSERT_EQ(logged_in->status, 200);
    const std::string cookie = logged_in->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    httplib::Headers session = origin_of(rig);
    session.emplace("Cookie", cookie.substr(0, cookie.find(';')));
    EXPECT_EQ(write(session), 200);
    EXPECT_EQ(write({{"Authorization", "Bearer " + credentials.token}}), 200);
    // The cookie without the page's Origin could be another site's doing,
    // whatever else the request carries.
    httplib::Headers cookie_only{{"Cookie", session.find("Cookie")->second}, {"Authorization", "Basic eDp5"}};
    EXPECT_EQ(write(cookie_only), 403);
    EXPECT_EQ(wrote_events(rig.sim_log()).size(), 2u);
    // Logged out, the cookie is worth nothing.
    EXPECT_EQ(client.Post("/api/logout", session, "", "application/json")->status, 200);
    EXPECT_EQ(write(session), 401);
    EXPECT_EQ(wrote_events(rig.sim_log()).size(), 2u);
}

TEST_F(LiveGuards, WithReadsClosedOnlyThePageAndTheLoginAreServed) {
    const Credentials credentials;
    LiveRigOptions options;
    options.users_file = credentials.file;
    options.reads_need_login = true;
    LiveRig rig(options);
    EXPECT_EQ(rig.Get("/api/devices").status, 401);
    EXPECT_EQ(rig.Get("/api/devices/1/history").status, 401);
    EXPECT_EQ(rig.Get("/api/events").status, 401);
    EXPECT_EQ(rig.Get("/").status, 200);
    EXPECT_TRUE(rig.Get("/api/session").json["reads_need_login"].asBool());
    httplib::Client client("127.0.0.1", rig.port());
    client.set_default_headers({{"Authorization", "Bearer " + credentials.token}});
    client.set_read_timeout(60, 0);
    const auto read = client.Get("/api/devices");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 200);
}

TEST_F(LiveGuards, HeadsOutOfBoundsAndAmbiguousLengthsAreRefusedAndPipelinesAnsweredInOrder) {
    LiveRig rig;
    rig.DeviceAfter(1);
    // 2,000 header lines, 40 KB: refused, not gathered.
    std::string flood = "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 0; i < 2000; ++i) flood += "X-Flood-" + std::to_string(i) + ": aaaaaaaaaa\r\n";
    EXPECT_EQ(status_of(rig.port(), flood + "\r\n"), "HTTP/1.1 431");
    // Two lengths: which body is meant cannot be told.
    const std::string post = "POST /api/devices/1/registers HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
    const std::string length = "Content-Length: " + std::to_string(kWrite.size()) + "\r\n";
    EXPECT_EQ(status_of(rig.port(), post + length + "Content-Length: 4\r\n\r\n" + kWrite), "HTTP/1.1 400");
    EXPECT_EQ(status_of(rig.port(), post + length + length + "\r\n" + kWrite), "HTTP/1.1 400");
    EXPECT_TRUE(wrote_events(rig.sim_log()).empty());

    // Three requests in one send: three answers, in their order.
    RawClient pipelined(rig.port());
    ASSERT_TRUE(pipelined.Send("GET /api/session HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                               "GET /api/devices/7 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                               "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    const std::string answers = pipelined.Rest();
    const std::size_t session = answers.find("writes_need_login");
    const std::size_t missing = answers.find("HTTP/1.1 404");
    const std::size_t devices = answers.find("\"devices\"");
    ASSERT_NE(session, std::string::npos) << answers;
    ASSERT_NE(missing, std::string::npos) << answers;
    ASSERT_NE(devices, std::string::npos) << answers;
    EXPECT_LT(session, missing);
    EXPECT_LT(missing, devices);
}

// Logins as a guesser and a flood meet them: each address and each name
// held back for longer after each failure, the owner elsewhere let in.
TEST(LoginGuards, FailuresHoldTheAddressAndTheNameBackLongerEachTimeButNotItsOwnerElsewhere) {
    const Credentials credentials;
    std::vector<std::string> journal;
    Access access(credentials.file, [&](const std::string& line) { journal.push_back(line); });
    EXPECT_EQ(access.LogIn("anna", "guess 1", "192.0.2.1").outcome, Access::Login::refused);
    EXPECT_EQ(access.LogIn("anna", "guess 2", "192.0.2.1").outcome, Access::Login::refused);  // one slip costs nothing
    const Access::Login again = access.LogIn("anna", "pw of anna", "192.0.2.1");  // not even the right one, now
    EXPECT_EQ(again.outcome, Access::Login::held_back);
    EXPECT_EQ(again.retry, Access::kFirstHoldBack);
    Access::Login next;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
         std::chrono::steady_clock::now() < deadline;) {
        next = access.LogIn("anna", "guess 3", "192.0.2.1");
        if (next.outcome != Access::Login::held_back) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(next.outcome, Access::Login::refused);
    EXPECT_EQ(access.LogIn("bob", "guess", "192.0.2.1").retry, 2 * Access::kFirstHoldBack);  // doubled, whatever the name
    // Guesses at one name from many addresses: the name is held back toward
    // them, told in the journal at the fourth, and its owner still gets in.
    for (const char* from : {"192.0.2.2", "[2001:db8::1]"}) {
        EXPECT_EQ(access.LogIn("anna", "guess", from).outcome, Access::Login::refused);
    }
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_NE(journal[0].find("4 failed logins as anna"), std::string::npos) << journal[0];
    // The same /64 as one that failed: the name's hold-back binds it.
    EXPECT_EQ(access.LogIn("anna", "pw of anna", "[2001:db8::1:2]").outcome, Access::Login::held_back);
    EXPECT_EQ(access.LogIn("anna", "pw of anna", "198.51.100.7").outcome, Access::Login::accepted);
}

TEST(LoginGuards, ASessionEndsWithItsLifetimeAndItsEventStreamsWithIt) {
    const Credentials credentials;
    auto now = std::chrono::steady_clock::now();
    Access access(credentials.file, nullptr, [&now] { return now; });
    const Access::Login login = access.LogIn("anna", "pw of anna", "192.0.2.1");
    ASSERT_EQ(login.outcome, Access::Login::accepted);
    const std::string cookie = std::string(Access::CookieName(false)) + "=" + login.session;
    now += Access::kSessionLifetime - std::chrono::seconds(1);
    EXPECT_TRUE(access.Holds(login.session));
    EXPECT_TRUE(access.Who(cookie, "", false));
    // What a stream asks at each chunk and heartbeat.
    now += std::chrono::seconds(2);
    EXPECT_FALSE(access.Holds(login.session));
    EXPECT_FALSE(access.Who(cookie, "", false));
}

TEST(LoginGuards, OneAddressesFloodOfLoginsTurnsNoOtherAddressAway) {
    const Credentials credentials;
    Access access(credentials.file);
    std::atomic<bool> flooding{true};
    std::atomic<int> busy{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 6; ++i) {
        flood.emplace_back([&] {
            while (flooding) {
                if (access.LogIn("anna", "pw of anna", "192.0.2.9").outcome == Access::Login::busy) ++busy;
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (busy < 10 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(busy, 10);  // the flood is at its address's limit
    for (int i = 0; i < 3; ++i) EXPECT_EQ(access.LogIn("anna", "pw of anna", "198.51.100.7").outcome, Access::Login::accepted);
    flooding = false;
    for (std::thread& t : flood) t.join();
}

TEST_F(LiveGuards, LoggingOutEndsTheSessionsEventStream) {
    const Credentials credentials;
    LiveRigOptions options;
    options.users_file = credentials.file;
    LiveRig rig(options);
    rig.DeviceAfter(1);
    httplib::Client client("127.0.0.1", rig.port());
    client.set_read_timeout(60, 0);
    const auto logged_in = client.Post("/api/login", origin_of(rig), R"({"user": "anna", "password": "pw of anna"})",
                                       "application/json");
    ASSERT_TRUE(logged_in);
    ASSERT_EQ(logged_in->status, 200);
    const std::string set = logged_in->get_header_value("Set-Cookie");
    const std::string cookie = set.substr(0, set.find(';'));
    RawClient stream(rig.port());
    ASSERT_TRUE(stream.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n"));
    EXPECT_EQ(stream.StatusLine().substr(0, 12), "HTTP/1.1 200");
    for (int tries = 0; tries < 200 && rig.events().clients() == 0; ++tries) usleep(20 * 1000);
    httplib::Headers session = origin_of(rig);
    session.emplace("Cookie", cookie);
    ASSERT_EQ(client.Post("/api/logout", session, "", "application/json")->status, 200);
    const std::string rest = stream.Until("0\r\n\r\n", kPatienceMs);
    ASSERT_GE(rest.size(), 5u);
    EXPECT_EQ(rest.substr(rest.size() - 5), "0\r\n\r\n") << rest;
}

TEST_F(LiveGuards, AnEventStreamEndsWithItsLastChunkWhenTheServerStops) {
    LiveRig rig;
    rig.DeviceAfter(1);
    RawClient stream(rig.port());
    ASSERT_TRUE(stream.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(stream.StatusLine().substr(0, 12), "HTTP/1.1 200");
    for (int tries = 0; tries < 200 && rig.events().clients() == 0; ++tries) usleep(20 * 1000);
    rig.StopServer();
    const std::string rest = stream.Rest();
    ASSERT_GE(rest.size(), 5u);
    EXPECT_EQ(rest.substr(rest.size() - 5), "0\r\n\r\n") << rest;
}

TEST_F(LiveGuards, HttpsServesAClientThatTrustsItsAuthorityAndNoOtherWay) {
    // A test authority and a certificate it signed for 127.0.0.1, made with openssl.
    const std::string dir = temp_path("tls");
    const std::string make =
        "mkdir -p " + dir + " && cd " + dir +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=test-ca"
        " -keyout ca.key -out ca.pem 2>/dev/null"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1"
        " -keyout server.key -out server.csr 2>/dev/null"
        " && printf 'subjectAltName=IP:127.0.0.1' > san"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san"
        " -out server.pem 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    LiveRigOptions options;
    options.tls = TlsFiles{dir + "/server.pem", dir + "/server.key"};
    LiveRig rig(options);

    httplib::SSLClient trusting("127.0.0.1", rig.port());
    trusting.set_ca_cert_path((dir + "/ca.pem").c_str());
    trusting.enable_server_certificate_verification(true);
    trusting.set_read_timeout(60, 0);  // a handshake under an emulator on a busy machine
    const auto answer = trusting.Get("/api/session");
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->get_header_value("Strict-Transport-Security"), "max-age=31536000");

    httplib::SSLClient doubting("127.0.0.1", rig.port());
    doubting.set_ca_cert_path("/dev/null");
    doubting.enable_server_certificate_verification(true);
    EXPECT_FALSE(doubting.Get("/api/session"));

    httplib::Client plain("127.0.0.1", rig.port());
    plain.set_read_timeout(5, 0);
    const auto unencrypted = plain.Get("/api/session");
    EXPECT_TRUE(!unencrypted || unencrypted->status != 200);
    std::system(("rm -rf " + dir).c_str());
}
