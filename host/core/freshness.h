// How old a meter's values may be and still be served as current, by every
// outlet that serves them on request (the HTTP API, /metrics, the Modbus
// server), as the plug-in's value query judges them.
#pragma once

// Seconds after the last completed cycle past which the values are stale.
constexpr double kStaleAfterSeconds = 60.0;
