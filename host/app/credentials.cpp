#include "host/app/credentials.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>

#include "host/access/access.h"

namespace {

// Read without echo from a terminal, twice to catch a typo; else the first line.
std::string read_password() {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    termios shown{};
    if (terminal) {
        tcgetattr(STDIN_FILENO, &shown);
        termios hidden = shown;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::string password, again;
    if (terminal) std::cerr << "password: " << std::flush;
    std::getline(std::cin, password);
    if (terminal) {
        std::cerr << "\nagain: " << std::flush;
        std::getline(std::cin, again);
        std::cerr << std::endl;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
        if (again != password) throw std::runtime_error("the two passwords differ");
    }
    if (password.empty()) throw std::runtime_error("an empty password");
    return password;
}

}  // namespace

std::string credential_line(const CredentialWanted& wanted) {
    if (!wanted.token) return password_line(wanted.name, read_password());
    const std::string token = new_token();
    std::cerr << "qmxhost: the token for " << wanted.name << ", shown this once (the file keeps its hash): " << token
              << std::endl;
    return token_line(wanted.name, token);
}

