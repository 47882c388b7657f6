// The line as an engineer sets it up: a serial port with the settings
// mbpoll and modpoll users know, or a Modbus TCP server or gateway. Every
// value comes from the settings table (host/config/settings_table.cpp),
// which declares its default and checks it before a line is opened.
#pragma once

#include <optional>
#include <string>

#include "host/config/endpoints.h"

// What libmodbus does with RTS while sending, for adapters whose
// transceiver follows it.
enum class Rts { none, up, down };

struct LineSettings {
    std::string port;                // empty (and no Modbus TCP): start the simulated meter on a pseudo-terminal
    std::optional<TcpAddress> tcp;   // a Modbus TCP server or gateway; none: the serial line
    bool tcp_simulated{};            // the simulated meter behind Modbus TCP ("tcp": "sim"), at the address it takes
    int baud{};
    char parity{};  // N, E or O
    int data_bits{};
    int stop_bits{};
    int response_timeout_ms{};  // from the end of a request to the first byte of its answer
    int byte_timeout_ms{};      // longest silence inside an answer; 0: none
    int retries{};              // further attempts after a failed request
    bool rs485{};               // the kernel driver's RS-485 mode (TIOCSRS485) drives the transceiver
    Rts rts{};
    std::optional<int> rts_delay_us;  // RTS settling time; none: libmodbus's own (one character)
    int delay_ms{};                   // silence kept before each request

    bool IsTcp() const { return tcp.has_value() || tcp_simulated; }
    int BitsPerCharacter() const { return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits; }
    // Its port, or its TCP address.
    std::string Name() const { return tcp ? tcp->Text() : tcp_simulated ? "sim" : port; }
    // "9600 baud 8N1", or "Modbus TCP".
    std::string Text() const {
        if (IsTcp()) return "Modbus TCP";
        return std::to_string(baud) + " baud " + std::to_string(data_bits) + parity + std::to_string(stop_bits);
    }
};
