#include "host/line/libmodbus_context.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

volatile std::sig_atomic_t g_line_fd = -1;
volatile std::sig_atomic_t g_null_fd = -1;
volatile std::sig_atomic_t g_interrupted = 0;

int result(int rc) { return rc >= 0 ? rc : -errno; }

void set_timeout(modbus_t* ctx, int ms, int (*set)(modbus_t*, std::uint32_t, std::uint32_t)) {
    const auto value = static_cast<std::uint32_t>(ms);
    set(ctx, value / 1000, (value % 1000) * 1000);
}

}  // namespace

LibmodbusContext::LibmodbusContext(modbus_t* ctx, const LineSettings& s) : ctx_(ctx) {
    set_timeout(ctx_, s.response_timeout_ms, modbus_set_response_timeout);
    // With a byte timeout of zero the whole answer must arrive within the
    // response timeout.
    set_timeout(ctx_, s.byte_timeout_ms, modbus_set_byte_timeout);
    g_null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
}

LibmodbusContext::~LibmodbusContext() {
    Disconnecting();
    modbus_close(ctx_);
    modbus_free(ctx_);
    if (g_null_fd >= 0) close(g_null_fd);
    g_null_fd = -1;
}

void LibmodbusContext::Connected() {
    open_ = true;
    g_line_fd = modbus_get_socket(ctx_);
    // A stop request that came while the line was being opened found none to cut.
    if (g_interrupted) InterruptFromSignal();
}

void LibmodbusContext::Disconnecting() {
    g_line_fd = -1;
    open_ = false;
}

bool LibmodbusContext::Interrupted() { return g_interrupted != 0; }

void LibmodbusContext::InterruptFromSignal() {
    g_interrupted = 1;
    if (g_line_fd >= 0 && g_null_fd >= 0) dup2(g_null_fd, g_line_fd);
}

int LibmodbusContext::SetSlave(int slave) { return result(modbus_set_slave(ctx_, slave)); }

int LibmodbusContext::EnsureOpen() {
    if (open_) return 0;
    if (Interrupted()) return -EINTR;
    return Reopen();
}

int LibmodbusContext::Checked(int rc) {
    // After a stop request the line is /dev/null: failing, not gone.
    if (rc < 0 && Gone(-rc) && !Interrupted()) {
        Disconnecting();
        modbus_close(ctx_);
    }
    return rc;
}

int LibmodbusContext::ReadRegisters(int address, int count, std::uint16_t* destination) {
    if (const int rc = EnsureOpen(); rc != 0) return rc;
    return Checked(result(modbus_read_registers(ctx_, address, count, destination)));
}

int LibmodbusContext::SendRawRequest(const std::uint8_t* request, int length) {
    if (const int rc = EnsureOpen(); rc != 0) return rc;
    return Checked(result(modbus_send_raw_request(ctx_, request, length)));
}

int LibmodbusContext::ReceiveConfirmation(std::uint8_t* answer) {
    return Checked(result(modbus_receive_confirmation(ctx_, answer)));
}

int LibmodbusContext::Flush() { return result(modbus_flush(ctx_)); }

int LibmodbusContext::Drain(int quiet_ms) {
    int dropped = 0;
    pollfd p{modbus_get_socket(ctx_), POLLIN, 0};
    while (poll(&p, 1, quiet_ms) > 0 && (p.revents & POLLIN) != 0) {
        std::uint8_t junk[256];
        const ssize_t n = read(p.fd, junk, sizeof junk);
        if (n <= 0) break;
        dropped += static_cast<int>(n);
    }
    return dropped;
}

int LibmodbusContext::HeaderLength() { return modbus_get_header_length(ctx_); }
