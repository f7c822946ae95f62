// libFuzzer entry point; the body lives in szdd_target.cpp.
#include <cstdlib>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!FuzzSzddInput(data, size)) {
        std::abort();
    }
    return 0;
}
