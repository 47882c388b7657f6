#include "host/qmxhost/line_settings.h"

#include <stdexcept>

#include "host/common/line_speeds.h"
#include "host/qmxhost/tcp_address.h"

std::string line_settings_problem(const LineSettings& s) {
    if (!is_line_speed(s.baud)) return "baud " + std::to_string(s.baud) + " is not one of " + line_speed_list();
    if (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') return "parity must be N, E or O";
    if (s.data_bits != 7 && s.data_bits != 8) return "data bits must be 7 or 8";
    if (s.stop_bits != 1 && s.stop_bits != 2) return "stop bits must be 1 or 2";
    if (s.response_timeout_ms < 1 || s.response_timeout_ms > 60000) return "response timeout must be 1 to 60000 ms";
    if (s.byte_timeout_ms < 0 || s.byte_timeout_ms > 60000) return "byte timeout must be 0 to 60000 ms";
    if (s.retries < 0 || s.retries > 10) return "retries must be 0 to 10";
    if (s.rts != "none" && s.rts != "up" && s.rts != "down") return "rts must be none, up or down";
    if (s.rts_delay_us < -1 || s.rts_delay_us > 1000000) return "rts delay must be 0 to 1000000 us";
    if (s.delay_ms < 0 || s.delay_ms > 10000) return "the delay before a request must be 0 to 10000 ms";
    if (s.IsTcp() && s.tcp != kTcpSimulator) {
        try {
            parse_tcp_address(s.tcp);
        } catch (const std::invalid_argument& e) {
            return std::string("tcp: ") + e.what();
        }
    }
    return "";
}

// Four 8-byte requests, answers of 5 bytes plus two per register, and a
// 3.5-character silence before each frame.
double cycle_wire_limit_ms(const LineSettings& line) {
    const int registers = 22 + 32 + 16 + 8;
    const double characters = 4 * 8 + (4 * 5 + 2 * registers) + 8 * 3.5;
    return characters * line.BitsPerCharacter() * 1000.0 / line.baud;
}
