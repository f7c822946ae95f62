// libFuzzer entry point; the body lives in archive_target.cpp.
#include <cstdlib>

#include "fuzz/targets.h"

// An SZDD header may declare a stream of up to 4 GiB, and the worker then
// allocates records of up to 2 GiB that the short body can never fill. The
// allocation itself is the designed behaviour (it fails at the read), but
// under ASan every such block costs a shadow fill of an eighth of its size
// and slows the run to a few dozen inputs a second. Blocks above 64 MiB
// therefore come back null here, which takes the worker's allocation failure
// path instead.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!FuzzArchiveInput(data, size)) {
        std::abort();
    }
    return 0;
}
