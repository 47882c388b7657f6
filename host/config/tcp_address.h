// Where a Modbus TCP server or gateway listens, as people write it:
// HOST:PORT, a name or an IPv4 address, or an IPv6 address in brackets
// ([fe80::1]:502).
#pragma once

#include <string>

struct TcpAddress {
    std::string host;  // without the brackets
    std::string port;  // decimal, 1 to 65535
};

// Throws std::invalid_argument with what is wrong.
TcpAddress parse_tcp_address(const std::string& text);
