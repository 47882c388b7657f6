// What the live tests read back: the writes the simulated meter carried
// out, and a raw connection for clients a library would not let misbehave.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <json/value.h>

#include "tests/support/json_text.h"

inline std::vector<Json::Value> wrote_events(const std::string& log) {
    std::vector<Json::Value> wrote;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const Json::Value event = parse_json(line).value_or(Json::Value());
        if (event["event"].asString() == "wrote") wrote.push_back(event);
    }
    return wrote;
}

class RawClient {
public:
    // From `from`, another loopback address, when given: another client to the server.
    explicit RawClient(int port, const char* from = nullptr, int receive_buffer = 0) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (from != nullptr) {
            sockaddr_in own{};
            own.sin_family = AF_INET;
            inet_pton(AF_INET, from, &own.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Send(const std::string& text) {
        std::size_t sent = 0;
        while (connected_ && sent < text.size()) {
            const ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return connected_;
    }
    // The status line of the answer.
    std::string StatusLine() {
        std::string line;
        char c = 0;
        while (line.size() < 200 && read(fd_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // Everything up to the server's end of the connection, or what came
    // before `patience_ms` of silence.
    std::string Rest(int patience_ms = 20000) {
        std::string text;
        char chunk[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, patience_ms) <= 0) return text;
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return text;
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // What came until the text ended with `end`, the server closed, or
    // `patience_ms` passed in all.
    std::string Until(const std::string& end, int patience_ms) {
        std::string text;
        char chunk[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
        while (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) break;
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    // Whether the server closed the connection within `patience_ms`.
    bool ClosedWithin(int patience_ms) {
        char chunk[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            if (read(fd_, chunk, sizeof chunk) <= 0) return true;
        }
    }

private:
    int fd_;
    bool connected_ = false;
};
