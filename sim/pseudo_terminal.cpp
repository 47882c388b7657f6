#include "sim/pseudo_terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace {
[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) fail("unlockpt");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) fail("ptsname");
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) fail("open pty slave");
    termios raw{};
    if (tcgetattr(slave_, &raw) != 0) fail("tcgetattr");
    cfmakeraw(&raw);
    if (tcsetattr(slave_, TCSANOW, &raw) != 0) fail("tcsetattr");
}

void PseudoTerminal::HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

PseudoTerminal::~PseudoTerminal() {
    HangUp();
    if (slave_ >= 0) close(slave_);
}
