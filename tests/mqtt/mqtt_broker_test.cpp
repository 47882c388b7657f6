// qmxhost publishing to a real Mosquitto broker, read back by mosquitto_sub:
// what arrives must be what the simulated meter served, through broker
// restarts, kills and bad input.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/json_text.h"
#include "tests/support/meter_oracle.h"
#include "tests/support/sim_meter.h"

namespace {

struct Message {
    std::string topic;
    Json::Value json;
    std::string text;
};

// mosquitto_sub with a session of its own (QoS 1, not clean), so that what
// is published while it waits for a restarted broker reaches it afterwards.
// Its debug lines (line-buffered, or they would wait for the first message)
// say when the broker took the subscription; the test waits for that rather
// than for a while.
class Subscriber {
public:
    Subscriber(const Broker& broker, const std::string& filter)
        : process_({"stdbuf", "-oL", "mosquitto_sub", "-d", "-p", std::to_string(broker.port()), "-q", "1", "-c", "-i",
                    "test-sub-" + std::to_string(getpid()) + "-" + std::to_string(++count_), "-v", "-t", filter}) {
        while (const auto line = process_.ReadLine(kPatienceMs)) {
            if (line->rfind("Subscribed (", 0) == 0) return;  // after the broker's SUBACK
        }
        ADD_FAILURE() << "mosquitto_sub never subscribed to " << filter;
    }
    // The next message, or none within `timeout_ms`.
    std::optional<Message> Next(int timeout_ms = kPatienceMs) {
        std::optional<std::string> line;
        // What is not a message is the client's own debug line.
        do {
            line = process_.ReadLine(timeout_ms);
        } while (line && (line->rfind("Client ", 0) == 0 || line->rfind("Subscribed (", 0) == 0));
        if (!line) return std::nullopt;
        Message message;
        const auto space = line->find(' ');
        message.topic = line->substr(0, space);
        message.text = space == std::string::npos ? "" : line->substr(space + 1);
        message.json = parse_json(message.text).value_or(Json::Value());
        return message;
    }
    // Messages until `done` says so or none comes for `timeout_ms`.
    template <typename Done>
    std::vector<Message> Until(Done done, int timeout_ms = kPatienceMs) {
        std::vector<Message> seen;
        while (auto message = Next(timeout_ms)) {
            seen.push_back(*message);
            if (done(*message)) break;
        }
        return seen;
    }

private:
    static inline int count_ = 0;
    ChildProcess process_;
};

void publish(const Broker& broker, const std::string& topic, const std::string& payload, bool retain = false) {
    std::vector<std::string> argv{"mosquitto_pub", "-p", std::to_string(broker.port()), "-q", "1", "-t", topic, "-m", payload};
    if (retain) argv.emplace_back("-r");
    ChildProcess pub(argv);
    pub.ReadAll(kPatienceMs);
    EXPECT_EQ(pub.Wait(), 0);
}

// qmxhost with its own simulator, publishing to the broker. Its events are
// read as they come, so that a full pipe never holds the host back.
class Host {
public:
    Host(const Broker& broker, std::vector<std::string> options, const std::string& prefix = "test/")
        : Host(broker.url(), std::move(options), prefix) {}
    Host(const std::string& url, std::vector<std::string> options, const std::string& prefix = "test/")
        : log_(temp_path("sim.log")), prefix_(prefix) {
        std::vector<std::string> argv{QV5810_TEST_HOST, "--plugin",    QV5810_TEST_PLUGIN, "--config",
                                      QV5810_TEST_CONFIG, "--json",     "--mqtt",           url,
                                      "--mqtt-prefix",    prefix,       "--sim-arg=--log=" + log_};
        // A configuration of the test's own replaces the example.
        if (std::find(options.begin(), options.end(), "--config") != options.end()) argv.erase(argv.begin() + 3, argv.begin() + 5);
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = std::make_unique<ChildProcess>(argv);
        reader_ = std::thread([this] {
            while (auto line = process_->ReadLine(60000)) {
                const std::lock_guard<std::mutex> lock(events_mutex_);
                events_.push_back(parse_json(*line).value_or(Json::Value()));
            }
        });
    }
    ~Host() {
        if (reader_.joinable()) Finish(SIGKILL);
        std::remove(log_.c_str());
    }

    std::string Topic(const std::string& leaf) const { return prefix_ + "panel-1_main_meter/" + leaf; }
    // Waits for the first event of `kind`.
    bool WaitFor(const std::string& kind) {
        for (int i = 0; i < kPatienceMs / 20; ++i) {
            {
                const std::lock_guard<std::mutex> lock(events_mutex_);
                for (const auto& e : events_) {
                    if (e["event"].asString() == kind) return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Waits for an event that `wanted` takes, past the first `from` events;
    // its place, or none within the patience.
    template <typename Wanted>
    std::optional<std::size_t> WaitUntil(Wanted wanted, std::size_t from = 0) {
        for (int i = 0; i < kPatienceMs / 20; ++i) {
            {
                const std::lock_guard<std::mutex> lock(events_mutex_);
                for (std::size_t at = from; at < events_.size(); ++at) {
                    if (wanted(events_[at])) return at;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }
    Json::Value At(std::size_t at) {
        const std::lock_guard<std::mutex> lock(events_mutex_);
        return events_.at(at);
    }
    // The host's JSON events until it ends (after a signal, or its cycles).
    std::vector<Json::Value> Finish(int signal = 0) {
        if (signal != 0) process_->Kill(signal);
        reader_.join();
        status_ = process_->Wait();
        const std::lock_guard<std::mutex> lock(events_mutex_);
        return events_;
    }
    int status() const { return status_; }
    const std::string& sim_log() const { return log_; }

private:
    std::string log_;
    std::string prefix_;
    std::unique_ptr<ChildProcess> process_;
    std::thread reader_;
    std::mutex events_mutex_;
    std::vector<Json::Value> events_;
    int status_ = -1;
};

// The meter's register map for the quantities checked here: column, high register, divisor.
const std::map<std::string, std::pair<int, int>> kColumns = {
    {"current_1_a", {1792, 1000}},         {"line_voltage_u12_v", {1800, 10}}, {"phase_voltage_1_v", {1806, 10}},
    {"phase_voltage_3_v", {1810, 10}},     {"frequency_hz", {1812, 100}},      {"total_power_factor", {1820, 1000}},
    {"apparent_power_3_kva", {1838, 1000}}, {"active_energy_pos_wh", {1880, 1}}, {"reactive_energy_neg_varh", {1886, 1}},
};

double served(const oracle::RegisterBank& bank, int high_register, int divisor) {
    const auto bits = static_cast<std::uint32_t>(bank.Get(high_register)) << 16 | bank.Get(high_register + 1);
    return static_cast<double>(static_cast<std::int32_t>(bits)) / divisor;
}

void expect_state_matches(const Json::Value& state, const std::map<int, oracle::RegisterBank>& banks) {
    const int cycle = state["cycle"].asInt();
    ASSERT_EQ(banks.count(cycle), 1u) << "cycle " << cycle;
    for (const auto& [column, where] : kColumns) {
        EXPECT_NEAR(state["values"][column].asDouble(), served(banks.at(cycle), where.first, where.second), 1e-9)
            << column << " in cycle " << cycle;
    }
    EXPECT_FALSE(state["utc"].asString().empty());
    EXPECT_TRUE(state["snapshot"]["相电压1"].isNumeric());
}

std::vector<Json::Value> of_kind(const std::vector<Json::Value>& events, const std::string& kind) {
    std::vector<Json::Value> found;
    for (const auto& e : events) {
        if (e["event"].asString() == kind) found.push_back(e);
    }
    return found;
}

std::string problems_text(const std::vector<Json::Value>& events) {
    std::string text;
    for (const auto& e : of_kind(events, "problem")) text += e["message"].asString() + "\n";
    return text;
}

}  // namespace

// --- What is published -------------------------------------------------------------

TEST(MqttState, EachCompletedCycleIsPublishedWithTheValuesTheMeterServed) {
    Broker broker;
    Subscriber states(broker, "test/+/state");
    Host host(broker, {"--cycles", "5", "--interval", "0.2"});
    const auto events = host.Finish();
    ASSERT_EQ(host.status(), 0) << problems_text(events);
    const auto banks = served_banks(host.sim_log());
    std::set<int> cycles;
    for (const Message& m : states.Until([](const Message& m) { return m.json["cycle"].asInt() == 5; })) {
        EXPECT_EQ(m.topic, host.Topic("state"));
        expect_state_matches(m.json, banks);
        cycles.insert(m.json["cycle"].asInt());
    }
    EXPECT_EQ(cycles, (std::set<int>{1, 2, 3, 4, 5}));
}

TEST(MqttState, ACycleThatFailedPublishesNothing) {
    Broker broker;
    Subscriber states(broker, "test/+/state");
    // Without retries every seventh answer lost costs its cycle.
    Host host(broker, {"--cycles", "12", "--interval", "0.1", "--retries", "0", "--timeout-ms", "100",
                       "--sim-arg=--drop-every=7"});
    const auto events = host.Finish();
    std::set<int> completed;
    for (const auto& e : of_kind(events, "cycle")) completed.insert(e["cycle"].asInt());
    ASSERT_LT(completed.size(), 12u) << "some cycles failed";
    ASSERT_FALSE(completed.empty());
    const auto banks = served_banks(host.sim_log());
    std::set<int> published;
    for (const Message& m : states.Until([&](const Message& m) { return m.json["cycle"].asInt() == *completed.rbegin(); })) {
        published.insert(m.json["cycle"].asInt());
        expect_state_matches(m.json, banks);
    }
    EXPECT_EQ(published, completed);
}

TEST(MqttState, AnOverVoltageEpisodeRaisesAndClearsTheAlarmTopics) {
    Broker broker;
    Subscriber alarm(broker, "test/+/alarms/110200010010");
    Host host(broker, {"--cycles", "7", "--interval", "0.2", "--sim-arg=--overvoltage-at=3",
                       "--sim-arg=--overvoltage-cycles=2"});
    host.Finish();
    const auto banks = served_banks(host.sim_log());
    std::vector<std::pair<int, bool>> changes;
    for (const Message& m : alarm.Until([](const Message& m) { return m.json["cycle"].asInt() >= 5; })) {
        EXPECT_EQ(m.json["text"].asString(), "001#低压配电屏A相电压过高");
        EXPECT_EQ(m.json["level"].asInt(), 1);
        EXPECT_DOUBLE_EQ(m.json["threshold"].asDouble(), 253.0);
        const int cycle = m.json["cycle"].asInt();
        EXPECT_EQ(m.json["up"].asBool(), served(banks.at(cycle), oracle::kPhaseVoltage1, 10) > 253.0) << cycle;
        changes.emplace_back(cycle, m.json["up"].asBool());
    }
    // Published when it changes: normal at first, up in the episode, normal after.
    EXPECT_EQ(changes, (std::vector<std::pair<int, bool>>{{1, false}, {3, true}, {5, false}}));
}

TEST(MqttState, DiscoveryLostWithTheBrokerIsToldAgainWhenHomeAssistantComesOnline) {
    Broker broker("", false);
    const std::string configs = "homeassistant/+/qv5810_panel1/+/config";
    // 38 quantities and the 27 rules the example's meter judges.
    const auto every_config = [](Subscriber& subscriber) {
        std::map<std::string, Json::Value> told;
        subscriber.Until([&](const Message& m) { return (told[m.topic] = m.json), told.size() == 65; });
        return told;
    };
    Host host(broker, {"--interval", "0.2", "--mqtt-discovery", "--mqtt-site", "panel1"});
    {
        Subscriber first(broker, configs);
        auto told = every_config(first);
        ASSERT_EQ(told.size(), 65u);
        const Json::Value& voltage = told["homeassistant/sensor/qv5810_panel1/1_phase_voltage_1_v/config"];
        EXPECT_EQ(voltage["state_topic"].asString(), host.Topic("state"));
        // Available while both the host and the meter are: a killed host takes every meter with it.
        EXPECT_EQ(voltage["availability"][0]["topic"].asString(), "test/qmxhost/availability");
        EXPECT_EQ(voltage["availability"][1]["topic"].asString(), host.Topic("availability"));
        EXPECT_EQ(voltage["availability_mode"].asString(), "all");
        EXPECT_EQ(voltage["value_template"].asString(), "{{ value_json.values.phase_voltage_1_v }}");
    }
    const auto said = [](const std::string& text) {
        return [text](const Json::Value& e) { return e["message"].asString().find(text) != std::string::npos; };
    };
    broker.Stop();
    const auto lost = host.WaitUntil(said("lost 127.0.0.1"));
    ASSERT_TRUE(lost);
    broker.Start();
    ASSERT_TRUE(host.WaitUntil(said("connected to 127.0.0.1"), *lost));
    Subscriber after(broker, configs);
    // Retained, as Home Assistant may send it: whether the host subscribed
    // before or after, it hears it.
    publish(broker, "homeassistant/status", "online", true);
    EXPECT_EQ(every_config(after).size(), 65u);
    host.Finish(SIGINT);
}

// --- Beyond one box ---------------------------------------------------------------------

TEST(MqttBridge, EveryCyclesStateReachesTheCentralSubscriberThroughAnOutageOfTheCentralBroker) {
    Broker central;
    // The box's own broker, bridging the meters' topics to the central one
    // and queueing them while it is away, as docs/fleet.md sets it up (but
    // for the address, TLS and a quicker reconnect).
    Broker local("allow_anonymous true\nmax_queued_messages 200000\nmax_queued_bytes 500000000\n"
                 "connection central\naddress 127.0.0.1:" + std::to_string(central.port()) +
                 "\ntopic test/# out 1\ncleansession false\nlocal_cleansession false\nrestart_timeout 1 2\n"
                 "bridge_attempt_unsubscribe false\n");
    Subscriber states(central, "test/+/state");  // a session kept by the central broker, QoS 1
    Host host(local, {"--interval", "0.2"});
    const auto first = states.Next();
    ASSERT_TRUE(first);
    const int from = first->json["cycle"].asInt();
    central.Stop();
    // 30 cycles and more while the central broker is away.
    ASSERT_TRUE(host.WaitUntil([&](const Json::Value& e) { return e["event"] == "cycle" && e["cycle"].asInt() > from + 31; }));
    central.Start();
    std::set<int> cycles{from};
    for (const Message& m : states.Until([&](const Message& m) { return m.json["cycle"].asInt() >= from + 34; })) {
        cycles.insert(m.json["cycle"].asInt());
        EXPECT_FALSE(m.json["utc"].asString().empty());
    }
    host.Finish(SIGINT);
    for (int cycle = from; cycle <= from + 34; ++cycle) EXPECT_EQ(cycles.count(cycle), 1u) << "cycle " << cycle;
}

// --- Writes ----------------------------------------------------------------------------

TEST(MqttWrites, ARequestOnSetRegistersIsCarriedOutAndAnsweredOnSetResult) {
    Broker broker;
    Subscriber results(broker, "test/+/set/result");
    Subscriber availability(broker, "test/+/availability");
    Host host(broker, {"--interval", "0.2", "--allow-writes"});
    // The host says it is online after it has subscribed to its requests.
    ASSERT_TRUE(availability.Next());
    publish(broker, host.Topic("set/registers"), R"({"address": 256, "values": [4660]})");
    const auto confirmed = results.Next();
    ASSERT_TRUE(confirmed);
    EXPECT_TRUE(confirmed->json["confirmed"].asBool()) << confirmed->text;
    EXPECT_EQ(confirmed->json["status"].asInt(), 1);
    // Malformed and oversized requests are answered with what is wrong, and written nowhere.
    for (const std::string& bad : {std::string(R"({"address": 256})"), std::string("not json"),
                                   std::string(R"({"address": 256, "values": [70000]})"), std::string(5000, ' ')}) {
        publish(broker, host.Topic("set/registers"), bad);
        const auto refused = results.Next();
        ASSERT_TRUE(refused);
        EXPECT_FALSE(refused->json["error"].asString().empty()) << refused->text;
    }
    host.Finish(SIGINT);
    std::ifstream log(host.sim_log());
    int wrote = 0;
    for (std::string line; std::getline(log, line);) wrote += line.find("\"wrote\"") != std::string::npos ? 1 : 0;
    EXPECT_EQ(wrote, 1);
}

TEST(MqttWrites, ARetainedRequestIsNeverCarriedOutAtStartOrWhileConnected) {
    Broker broker;
    const std::string topic = "test/panel-1_main_meter/set/registers";
    // Left on the broker by someone, long ago: a start must not write it again.
    publish(broker, topic, R"({"address": 256, "values": [1111]})", true);
    Subscriber results(broker, "test/+/set/result");
    Subscriber availability(broker, "test/+/availability");
    Host host(broker, {"--interval", "0.2", "--allow-writes"});
    const auto refused = results.Next();
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->json["error"].asString().find("retained"), std::string::npos) << refused->text;
    // Published retained while the host listens: an MQTT 3.1.1 broker would
    // deliver it unmarked; it is refused all the same.
    ASSERT_TRUE(availability.Next());
    publish(broker, topic, R"({"address": 256, "values": [2222]})", true);
    const auto refused_live = results.Next();
    ASSERT_TRUE(refused_live);
    EXPECT_NE(refused_live->json["error"].asString().find("retained"), std::string::npos) << refused_live->text;
    host.Finish(SIGINT);
    std::ifstream log(host.sim_log());
    for (std::string line; std::getline(log, line);) EXPECT_EQ(line.find("\"wrote\""), std::string::npos);
}

TEST(MqttWrites, WithoutAllowWritesARequestIsRefused) {
    Broker broker;
    Subscriber results(broker, "test/+/set/result");
    Subscriber availability(broker, "test/+/availability");
    Host host(broker, {"--interval", "0.2"});
    ASSERT_TRUE(availability.Next());
    publish(broker, host.Topic("set/registers"), R"({"address": 256, "values": [4660]})");
    const auto refused = results.Next();
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->json["error"].asString().find("--allow-writes"), std::string::npos);
    host.Finish(SIGINT);
    std::ifstream log(host.sim_log());
    for (std::string line; std::getline(log, line);) EXPECT_EQ(line.find("\"wrote\""), std::string::npos);
}

// --- Availability and outages --------------------------------------------------------------

TEST(MqttAvailability, AKilledHostReadsOffline) {
    Broker broker;
    Subscriber availability(broker, "test/qmxhost/availability");
    Host host(broker, {"--interval", "0.2"});
    const auto online = availability.Next();
    ASSERT_TRUE(online);
    EXPECT_EQ(online->text, "online");
    host.Finish(SIGKILL);
    const auto offline = availability.Next();
    ASSERT_TRUE(offline);
    EXPECT_EQ(offline->text, "offline");
}

TEST(MqttAvailability, PollingGoesOnWhileTheBrokerIsAwayAndEveryCycleIsAccountedFor) {
    Broker broker;
    Subscriber states(broker, "test/+/state");
    // A queue of three: an outage of more cycles than that must drop some, and say how many.
    Host host(broker, {"--interval", "0.2", "--mqtt-queue", "3"});
    const auto first = states.Next();
    ASSERT_TRUE(first);
    const auto said = [](const std::string& text) {
        return [text](const Json::Value& e) { return e["message"].asString().find(text) != std::string::npos; };
    };
    const auto cycle_past = [](int past) { return [past](const Json::Value& e) {
        return e["event"].asString() == "cycle" && e["cycle"].asInt() >= past; }; };
    broker.Stop();
    // Counted in cycles, not seconds: however slow the machine, the outage
    // lasts six cycles after the host saw the broker go.
    const auto lost = host.WaitUntil(said("lost 127.0.0.1"));
    ASSERT_TRUE(lost) << "the host never said it lost the broker";
    const auto outage = host.WaitUntil(cycle_past(0), *lost);
    ASSERT_TRUE(outage);
    ASSERT_TRUE(host.WaitUntil(cycle_past(host.At(*outage)["cycle"].asInt() + 6), *outage));
    broker.Start();
    const auto back = host.WaitUntil(said("connected to 127.0.0.1"), *lost);
    ASSERT_TRUE(back) << "the host never said it reached the broker again";
    const auto events = host.Finish(SIGINT);
    const int cycles = static_cast<int>(of_kind(events, "cycle").size());
    const int last = of_kind(events, "cycle").back()["cycle"].asInt();
    std::set<int> arrived{first->json["cycle"].asInt()};
    // Published after the broker came back, the last cycle's state comes last.
    for (const Message& m : states.Until([last](const Message& m) { return m.json["cycle"].asInt() == last; })) {
        arrived.insert(m.json["cycle"].asInt());
    }
    const std::string problems = problems_text(events);
    const auto at = problems.find(" dropped while the broker was away");
    ASSERT_NE(at, std::string::npos) << problems;
    const auto from = problems.rfind(", ", at) + 2;
    const int dropped = std::stoi(problems.substr(from, at - from));
    EXPECT_GT(dropped, 0);
    // A state message missing is one of those dropped; everything else arrived.
    std::string missing;
    for (const auto& e : of_kind(events, "cycle")) {
        if (arrived.count(e["cycle"].asInt()) == 0) missing += " " + e["cycle"].asString();
    }
    EXPECT_GE(static_cast<int>(arrived.size()) + dropped, cycles) << problems << "missing:" << missing;
    std::cout << "broker restart: " << cycles << " cycles, " << arrived.size() << " states arrived, " << dropped
              << " messages dropped\n";
    EXPECT_NE(problems.find("lost 127.0.0.1"), std::string::npos) << problems;
    EXPECT_NE(problems.find("connected to 127.0.0.1"), std::string::npos) << problems;
}

TEST(MqttAvailability, TwoHostsShareABrokerUnderTheirOwnPrefixes) {
    Broker broker;
    Subscriber states(broker, "+/+/state");
    Host a(broker, {"--cycles", "3", "--interval", "0.2"}, "site-a/");
    Host b(broker, {"--cycles", "3", "--interval", "0.2"}, "site-b/");
    a.Finish();
    b.Finish();
    const auto banks_a = served_banks(a.sim_log()), banks_b = served_banks(b.sim_log());
    std::map<std::string, int> per_topic;
    int seen = 0;
    for (const Message& m : states.Until([&](const Message&) { return ++seen == 6; })) {
        ++per_topic[m.topic];
        expect_state_matches(m.json, m.topic == a.Topic("state") ? banks_a : banks_b);
    }
    EXPECT_EQ(per_topic[a.Topic("state")], 3);
    EXPECT_EQ(per_topic[b.Topic("state")], 3);
}

TEST(MqttState, OverTlsTheBrokerIsCheckedAgainstTheGivenCertificates) {
    const std::string dir = temp_path("tls");
    mkdir(dir.c_str(), 0700);
    const std::string make = "cd '" + dir + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout ca.key -out ca.pem 2>/dev/null && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr 2>/dev/null && "
        "printf 'subjectAltName=IP:127.0.0.1' > san.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
        "-out server.pem 2>/dev/null && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=stranger -keyout other.key -out other.pem 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    Broker broker("allow_anonymous true\ncafile " + dir + "/ca.pem\ncertfile " + dir + "/server.pem\nkeyfile " + dir +
                  "/server.key\n");
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port());
    Host trusting(url, {"--cycles", "2", "--interval", "0.2", "--mqtt-ca", dir + "/ca.pem"});
    const auto trusted = trusting.Finish();
    EXPECT_NE(problems_text(trusted).find("connected to"), std::string::npos) << problems_text(trusted);
    EXPECT_NE(problems_text(trusted).find("messages published, 0 dropped"), std::string::npos) << problems_text(trusted);
    // A broker whose certificate does not chain to the given one is never talked to.
    Host doubting(url, {"--cycles", "2", "--interval", "0.2", "--mqtt-ca", dir + "/other.pem"});
    const auto doubted = doubting.Finish();
    EXPECT_EQ(problems_text(doubted).find("connected to"), std::string::npos) << problems_text(doubted);
    EXPECT_NE(problems_text(doubted).find("certificate verify failed"), std::string::npos) << problems_text(doubted);
    EXPECT_EQ(of_kind(doubted, "cycle").size(), 2u);
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(MqttState, MetersNamedInChineseKeepTheirNamesAndTopicsOfTheirOwn) {
    Broker broker;
    Json::Value config = parse_json([] {
        std::ifstream in(QV5810_TEST_CONFIG);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }()).value_or(Json::Value());
    config["devices"][0]["name"] = "一号柜";
    config["devices"][1] = config["devices"][0];
    config["devices"][1]["name"] = "二号柜";
    config["devices"][1]["data_id"] = 2;
    config["devices"][1]["slave"] = 2;
    config["devices"][1]["setting"]["modbus"]["slave"] = 2;
    const std::string path = temp_path("two.json");
    std::ofstream(path) << compact_json(config);
    Subscriber states(broker, "test/+/state");
    Host host(broker, {"--config", path, "--cycles", "2", "--interval", "0.2"});
    const auto events = host.Finish();
    ASSERT_EQ(host.status(), 0) << problems_text(events);
    std::set<std::string> topics;
    int seen = 0;
    for (const Message& m : states.Until([&](const Message&) { return ++seen == 4; })) topics.insert(m.topic);
    EXPECT_EQ(topics, (std::set<std::string>{"test/一号柜/state", "test/二号柜/state"}));
    // Names that differ only where a topic cannot: refused, not merged.
    config["devices"][0]["name"] = "cabinet 1";
    config["devices"][1]["name"] = "cabinet/1";
    std::ofstream(path) << compact_json(config);
    Host clashing(broker, {"--config", path, "--cycles", "1"});
    clashing.Finish();
    EXPECT_EQ(clashing.status(), 1);
    std::remove(path.c_str());
}

// --- Bad input -------------------------------------------------------------------------------

TEST(MqttBadInput, AURLThatDoesNotParseIsRefusedAtStart) {
    for (const char* url : {"127.0.0.1:1883", "http://127.0.0.1", "mqtt://", "mqtt://host:0", "mqtt://host:99999",
                            "mqtt://user:pw@host"}) {
        ChildProcess host({QV5810_TEST_HOST, "--plugin", QV5810_TEST_PLUGIN, "--config", QV5810_TEST_CONFIG,
                           "--cycles", "1", "--mqtt", url});
        host.ReadAll(kPatienceMs);
        EXPECT_EQ(host.Wait(), 1) << url;
    }
}

TEST(MqttBadInput, AnUnreachableBrokerOrARefusedLoginLeavesPollingAlone) {
    const std::string nobody = "mqtt://127.0.0.1:" + std::to_string(free_port());
    Host unreachable(nobody, {"--cycles", "3", "--interval", "0.2"});
    const auto events = unreachable.Finish();
    EXPECT_EQ(unreachable.status(), 0);
    EXPECT_EQ(of_kind(events, "cycle").size(), 3u);
    EXPECT_NE(problems_text(events).find("cannot reach " + nobody.substr(7)), std::string::npos) << problems_text(events);

    const std::string passwords = temp_path("passwords");
    ChildProcess make({"mosquitto_passwd", "-c", "-b", passwords, "meter", "s3cret"});
    make.ReadAll(kPatienceMs);
    ASSERT_EQ(make.Wait(), 0);
    Broker guarded("allow_anonymous false\npassword_file " + passwords + "\n");
    const std::string wrong = temp_path("wrong"), right = temp_path("right");
    std::ofstream(wrong) << "meter\nguess\n";
    std::ofstream(right) << "meter\ns3cret\n";
    Host refused(guarded.url(), {"--cycles", "3", "--interval", "0.2", "--mqtt-login", wrong});
    const auto refused_events = refused.Finish();
    EXPECT_EQ(refused.status(), 0);
    EXPECT_EQ(of_kind(refused_events, "cycle").size(), 3u);
    EXPECT_NE(problems_text(refused_events).find("refused the connection"), std::string::npos)
        << problems_text(refused_events);

    Host admitted(guarded.url(), {"--cycles", "2", "--interval", "0.2", "--mqtt-login", right});
    const auto admitted_events = admitted.Finish();
    EXPECT_NE(problems_text(admitted_events).find("connected to"), std::string::npos) << problems_text(admitted_events);
    for (const std::string& path : {passwords, wrong, right}) std::remove(path.c_str());
}
