// Modbus TCP in front of the simulated meters, the way a Modbus TCP gateway
// serves RTU meters: each request a client sends goes out on the gateway's
// own line as an RTU frame through the line relay, and the meter's answer
// goes back under the request's transaction id. The link's faults are dealt
// here, between the client and the line: a dropped answer is no answer at
// all, a held-back one comes late. One client at a time; the next is
// accepted when it leaves.
#pragma once

#include <atomic>
#include <modbus.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/answer_faults.h"

class TcpGateway {
public:
    // Listens on `port` of every local address (0: a free port). `line` is
    // the terminal of the line to the meters, `longest_answer_ms` the longest
    // the line may take to answer. Faults other than drops and held-back
    // answers have no meaning here. Throws std::runtime_error.
    TcpGateway(int port, const std::string& line, int longest_answer_ms, LineFaults faults, SimLog& log);
    TcpGateway(const TcpGateway&) = delete;
    TcpGateway& operator=(const TcpGateway&) = delete;

    int port() const { return port_; }  // the port bound

    // Serves clients until `keep_running` turns false.
    void Run(const std::atomic<bool>& keep_running);

private:
    bool Accept(const std::atomic<bool>& keep_running);
    void Serve(const std::atomic<bool>& keep_running);
    void Forward(const std::uint8_t* request, int length, const std::atomic<bool>& keep_running);

    struct Close {
        void operator()(modbus_t* ctx) const;
    };
    struct Listener {
        int fd = -1;
        ~Listener();
    };

    std::unique_ptr<modbus_t, Close> server_;  // its socket is the client's while one is connected
    Listener listener_;
    std::unique_ptr<modbus_t, Close> line_;  // the RTU master on the line
    int port_ = 0;
    int longest_answer_ms_;
    AnswerFaults faults_;
};
