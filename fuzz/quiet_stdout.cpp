// Every target starts here: the device's diagnostic lines would drown the
// fuzzer's own output.
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);
    return 0;
}
