// Whether a serial port is a pseudo-terminal, as the simulated meter's is:
// there bytes take no time unless the simulator paces them.
#pragma once

#include <string>

bool is_pseudo_terminal(const std::string& port);
