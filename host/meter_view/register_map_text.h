// The meters' registers as the bench host's Modbus TCP server serves them,
// for the people who point a SCADA or mbpoll at it: made from the register
// blocks and the readings' table, so that docs/modbus-registers.md cannot
// drift from them (a test holds the two together).
#pragma once

#include <string>

// Markdown.
std::string served_register_map();
