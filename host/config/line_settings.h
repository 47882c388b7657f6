// The line as an engineer sets it up: a serial port with the settings
// mbpoll and modpoll users know, or a Modbus TCP server or gateway. The
// settings table (host/config/settings_table.cpp) checks every value before
// a line is opened with them.
#pragma once

#include <optional>
#include <string>

// As the TCP address: start the simulated meter and poll it over Modbus TCP.
inline const std::string kTcpSimulator = "sim";

struct LineSettings {
    std::string port;  // empty (and no tcp): start the simulated meter on a pseudo-terminal
    std::string tcp;   // HOST:PORT of a Modbus TCP server or gateway, or kTcpSimulator; empty: the serial line
    int baud = 9600;
    char parity = 'N';  // N, E or O
    int data_bits = 8;
    int stop_bits = 1;
    int response_timeout_ms = 1000;  // from the end of a request to the first byte of its answer
    int byte_timeout_ms = 500;       // longest silence inside an answer; 0: none
    int retries = 2;                 // further attempts after a failed request
    bool rs485 = false;              // the kernel driver's RS-485 mode (TIOCSRS485) drives the transceiver
    std::string rts = "none";        // none, up or down: libmodbus raises (up) or lowers (down) RTS while sending
    std::optional<int> rts_delay_us;  // RTS settling time; none: libmodbus's own (one character)
    int delay_ms = 0;                // silence kept before each request

    bool IsTcp() const { return !tcp.empty(); }
    int BitsPerCharacter() const { return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits; }
    // "9600 baud 8N1", or "Modbus TCP".
    std::string Text() const {
        if (IsTcp()) return "Modbus TCP";
        return std::to_string(baud) + " baud " + std::to_string(data_bits) + parity + std::to_string(stop_bits);
    }
};
