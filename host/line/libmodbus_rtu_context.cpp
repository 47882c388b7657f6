#include "host/line/libmodbus_rtu_context.h"

#include <cerrno>
#include <stdexcept>

namespace {

int rts_mode(Rts rts) {
    switch (rts) {
    case Rts::up: return MODBUS_RTU_RTS_UP;
    case Rts::down: return MODBUS_RTU_RTS_DOWN;
    case Rts::none: break;
    }
    return MODBUS_RTU_RTS_NONE;
}

modbus_t* new_rtu(const LineSettings& s) {
    modbus_t* ctx = modbus_new_rtu(s.port.c_str(), s.baud, s.parity, s.data_bits, s.stop_bits);
    if (ctx == nullptr) throw std::runtime_error("cannot set up the line: " + std::string(modbus_strerror(errno)));
    return ctx;
}

}  // namespace

// A throw from here leaves the context to the base's destructor.
LibmodbusRtuContext::LibmodbusRtuContext(const LineSettings& s, StopSignal& stop)
    : LibmodbusContext(new_rtu(s), s, stop), settings_(s) {
    std::string why;
    if (Open(why) != 0) throw std::runtime_error(why);
}

int LibmodbusRtuContext::Open(std::string& why) {
    const LineSettings& s = settings_;
    if (modbus_connect(ctx_) != 0) {
        const int error = errno != 0 ? errno : ENODEV;
        why = "cannot open " + s.port + ": " + modbus_strerror(error);
        return error;
    }
    if (s.rs485 && modbus_rtu_set_serial_mode(ctx_, MODBUS_RTU_RS485) != 0) {
        why = "cannot put " + s.port + " in RS-485 mode";
    } else if (modbus_rtu_set_rts(ctx_, rts_mode(s.rts)) != 0) {
        why = "cannot drive RTS on " + s.port;
    } else if (s.rts_delay_us && modbus_rtu_set_rts_delay(ctx_, *s.rts_delay_us) != 0) {
        why = "cannot set the RTS delay on " + s.port;
    } else {
        Connected();
        return 0;
    }
    const int error = errno != 0 ? errno : ENODEV;
    why += std::string(": ") + modbus_strerror(error);
    modbus_close(ctx_);
    return error;
}

int LibmodbusRtuContext::Reopen() {
    std::string why;
    return -Open(why);
}

// What a port that went away answers: EIO for reads and writes on a
// vanished USB adapter or a pseudo-terminal whose other side closed,
// ECONNRESET where libmodbus read end-of-file, ENXIO or ENODEV from the
// driver, EBADF once closed.
bool LibmodbusRtuContext::Gone(int error) const {
    return error == EIO || error == ECONNRESET || error == ENXIO || error == ENODEV || error == EBADF;
}
