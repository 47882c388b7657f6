// Runs one operation N times, for counting instructions under callgrind:
// the difference between two counts of N is the cost of the extra runs.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/operations.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: instruction_counts OPERATION N\noperations:";
        for (const Operation& op : operations()) std::cerr << " " << op.name;
        std::cerr << std::endl;
        return 2;
    }
    std::freopen("/dev/null", "w", stdout);
    for (const Operation& op : operations()) {
        if (op.name != argv[1]) continue;
        std::unique_ptr<BenchRig> rig;
        const auto run = op.prepare(rig);
        run();  // first-use costs (static tables, map nodes) stay out of the count
        for (long i = std::atol(argv[2]); i > 0; --i) run();
        return 0;
    }
    std::cerr << "unknown operation " << argv[1] << std::endl;
    return 2;
}
