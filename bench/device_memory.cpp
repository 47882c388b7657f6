// Memory one device takes: its object plus the heap it holds after a mode-2
// cycle with all rules enabled and a snapshot. With --max-bytes, fails when
// the total exceeds it.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "bench/bench_rig.h"

namespace {

std::size_t heap_in_use() { return mallinfo2().uordblks; }

void exercise(BenchRig& rig) {
    static char out[4096];
    rig.Cycle();
    rig.Control(801, out, sizeof out);
}

}  // namespace

int main(int argc, char** argv) {
    std::freopen("/dev/null", "w", stdout);
    // A first device pays for what all devices share (rule strings, stream
    // buffers); the second shows what one more device costs.
    auto first = std::make_unique<BenchRig>(2, &still_clock);
    exercise(*first);
    const std::size_t before = heap_in_use();
    auto second = std::make_unique<BenchRig>(2, &still_clock);
    exercise(*second);
    // Less the rig around the device (its sink, line and answer blocks).
    const std::size_t total = heap_in_use() - before - sizeof(BenchRig);
    std::cerr << "sizeof(QV5810) " << sizeof(QV5810) << " bytes; heap held " << total - sizeof(QV5810)
              << " bytes; total " << total << " bytes per device" << std::endl;
    if (argc == 3 && std::strcmp(argv[1], "--max-bytes") == 0) {
        return total <= static_cast<std::size_t>(std::atol(argv[2])) ? 0 : 1;
    }
    return 0;
}
