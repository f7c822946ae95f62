// libFuzzer entry point; the body lives in stamp_target.cpp.
#include <cstdlib>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!FuzzStampInput(data, size)) {
        std::abort();
    }
    return 0;
}
