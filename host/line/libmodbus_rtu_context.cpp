#include "host/line/libmodbus_rtu_context.h"

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

int rts_mode(const std::string& rts) {
    if (rts == "up") return MODBUS_RTU_RTS_UP;
    if (rts == "down") return MODBUS_RTU_RTS_DOWN;
    return MODBUS_RTU_RTS_NONE;
}

modbus_t* new_rtu(const LineSettings& s) {
    modbus_t* ctx = modbus_new_rtu(s.port.c_str(), s.baud, s.parity, s.data_bits, s.stop_bits);
    if (ctx == nullptr) throw std::runtime_error("cannot set up the line: " + std::string(modbus_strerror(errno)));
    return ctx;
}

}  // namespace

// A throw from here leaves the context to the base's destructor.
LibmodbusRtuContext::LibmodbusRtuContext(const LineSettings& s) : LibmodbusContext(new_rtu(s), s) {
    auto fail = [](const std::string& what) { throw std::runtime_error(what + ": " + modbus_strerror(errno)); };
    if (modbus_connect(ctx_) != 0) fail("cannot open " + s.port);
    if (s.rs485 && modbus_rtu_set_serial_mode(ctx_, MODBUS_RTU_RS485) != 0) {
        fail("cannot put " + s.port + " in RS-485 mode");
    }
    if (modbus_rtu_set_rts(ctx_, rts_mode(s.rts)) != 0) fail("cannot drive RTS on " + s.port);
    if (s.rts_delay_us && modbus_rtu_set_rts_delay(ctx_, *s.rts_delay_us) != 0) {
        fail("cannot set the RTS delay on " + s.port);
    }
    Connected();
}
