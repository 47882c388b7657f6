#include "host/line/libmodbus_context.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Sent to the thread waiting on a line to end its select() with EINTR.
// Ignored by default, so that one arriving elsewhere ends nothing.
constexpr int kWakeSignal = SIGURG;

void wake(int) {}

// The same handler each time: installing it again changes nothing. Without
// SA_RESTART, so that the wait it lands in ends.
void install_wake_handler() {
    struct sigaction action {};
    action.sa_handler = wake;
    sigemptyset(&action.sa_mask);
    sigaction(kWakeSignal, &action, nullptr);
}

int result(int rc) { return rc >= 0 ? rc : -errno; }

void set_timeout(modbus_t* ctx, int ms, int (*set)(modbus_t*, std::uint32_t, std::uint32_t)) {
    const auto value = static_cast<std::uint32_t>(ms);
    set(ctx, value / 1000, (value % 1000) * 1000);
}

}  // namespace

LibmodbusContext::LibmodbusContext(modbus_t* ctx, const LineSettings& s, StopSignal& stop)
    : ctx_(ctx), null_fd_(open("/dev/null", O_RDWR | O_CLOEXEC)) {
    set_timeout(ctx_, s.response_timeout_ms, modbus_set_response_timeout);
    // With a byte timeout of zero the whole answer must arrive within the
    // response timeout.
    set_timeout(ctx_, s.byte_timeout_ms, modbus_set_byte_timeout);
    install_wake_handler();
    stop_hook_ = stop.OnStop([this] { Interrupt(); });
}

LibmodbusContext::~LibmodbusContext() {
    stop_hook_ = StopSignal::Hook();
    Disconnecting();
    modbus_close(ctx_);
    modbus_free(ctx_);
    if (null_fd_ >= 0) close(null_fd_);
}

LibmodbusContext::Waiting::Waiting(LibmodbusContext& context) : context_(context) {
    const std::lock_guard<std::mutex> lock(context_.line_mutex_);
    ++context_.waiting_;
    context_.waiter_ = pthread_self();
}

// Once no call is under way, Interrupt signals no thread: the one that
// called may have ended.
LibmodbusContext::Waiting::~Waiting() {
    const std::lock_guard<std::mutex> lock(context_.line_mutex_);
    --context_.waiting_;
}

void LibmodbusContext::Connected() {
    open_ = true;
    const std::lock_guard<std::mutex> lock(line_mutex_);
    line_fd_ = modbus_get_socket(ctx_);
    // A stop that came while the line was being opened found none to cut.
    if (interrupted_ && line_fd_ >= 0 && null_fd_ >= 0) dup2(null_fd_, line_fd_);
}

void LibmodbusContext::Disconnecting() {
    open_ = false;
    const std::lock_guard<std::mutex> lock(line_mutex_);
    line_fd_ = -1;
}

bool LibmodbusContext::Interrupted() {
    const std::lock_guard<std::mutex> lock(line_mutex_);
    return interrupted_;
}

void LibmodbusContext::Interrupt() {
    const std::lock_guard<std::mutex> lock(line_mutex_);
    interrupted_ = true;
    if (line_fd_ >= 0 && null_fd_ >= 0) dup2(null_fd_, line_fd_);
    // A select() under way still waits on the line it began with; the
    // signal ends it, and libmodbus's next select() finds /dev/null ready.
    if (waiting_ > 0) pthread_kill(waiter_, kWakeSignal);
}

int LibmodbusContext::SetSlave(int slave) { return result(modbus_set_slave(ctx_, slave)); }

int LibmodbusContext::SetResponseTimeout(int milliseconds) {
    const auto value = static_cast<std::uint32_t>(milliseconds);
    return result(modbus_set_response_timeout(ctx_, value / 1000, (value % 1000) * 1000));
}

int LibmodbusContext::EnsureOpen() {
    if (open_) return 0;
    if (Interrupted()) return -EINTR;
    return Reopen();
}

int LibmodbusContext::Checked(int rc) {
    // After a stop the line is /dev/null: failing, not gone.
    if (rc < 0 && Gone(-rc) && !Interrupted()) {
        Disconnecting();
        modbus_close(ctx_);
    }
    return rc;
}

int LibmodbusContext::ReadRegisters(int address, int count, std::uint16_t* destination) {
    const Waiting waiting(*this);
    if (const int rc = EnsureOpen(); rc != 0) return rc;
    return Checked(result(modbus_read_registers(ctx_, address, count, destination)));
}

int LibmodbusContext::SendRawRequest(const std::uint8_t* request, int length) {
    const Waiting waiting(*this);
    if (const int rc = EnsureOpen(); rc != 0) return rc;
    return Checked(result(modbus_send_raw_request(ctx_, request, length)));
}

int LibmodbusContext::ReceiveConfirmation(std::uint8_t* answer) {
    const Waiting waiting(*this);
    return Checked(result(modbus_receive_confirmation(ctx_, answer)));
}

int LibmodbusContext::Flush() { return result(modbus_flush(ctx_)); }

int LibmodbusContext::Drain(int quiet_ms) {
    const Waiting waiting(*this);
    int dropped = 0;
    pollfd p{modbus_get_socket(ctx_), POLLIN, 0};
    while (!Interrupted() && poll(&p, 1, quiet_ms) > 0 && (p.revents & POLLIN) != 0) {
        std::uint8_t junk[256];
        const ssize_t n = read(p.fd, junk, sizeof junk);
        if (n <= 0) break;
        dropped += static_cast<int>(n);
    }
    return dropped;
}

int LibmodbusContext::HeaderLength() { return modbus_get_header_length(ctx_); }
