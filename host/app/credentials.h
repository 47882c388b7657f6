// `qmxhost passwd NAME` and `qmxhost token NAME`: lines for the page's
// credentials file, made as the page checks them.
#pragma once

#include <string>

#include "host/app/command_line.h"

// The line for the file. A password is read from standard input (twice,
// without echo, from a terminal); a token is made here and shown once on
// standard error. Throws std::runtime_error.
std::string credential_line(const CredentialWanted& wanted);
