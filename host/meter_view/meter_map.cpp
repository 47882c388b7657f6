#include "host/meter_view/meter_map.h"

// Per block an 8-byte request and an answer of 5 bytes plus two per
// register, each frame after a silence of 3.5 characters.
double cycle_wire_limit_ms(int baud, int bits_per_character) {
    double characters = 0;
    for (const MeterBlock& block : kMeterBlocks) characters += 8 + 5 + 2 * block.count + 2 * 3.5;
    return characters * bits_per_character * 1000.0 / baud;
}
