// SZDD decoding throughput: the portable reader against libmspack and
// Debian's msexpand, over the same compressed stream, in one run.
//   bench_szdd FILE.SZDD [runs]
#include <mspack.h>

#include <cstdio>
#include <vector>

#include "bench/core/bench_common.h"
#include "payload/lz_stream.h"

namespace {

// Decodes the whole stream in 1 MiB reads; returns the byte count or -1.
long long DecodeOurs(const char* path) {
    int32_t handle = LzOpenRead(path);
    if (handle < 0) {
        return -1;
    }
    static std::vector<unsigned char> buffer(1 << 20);
    long long total = 0;
    int32_t got;
    while ((got = LzReadBytes(handle, buffer.data(), static_cast<int32_t>(buffer.size()))) > 0) {
        total += got;
    }
    LzCloseHandle(handle);
    return got < 0 ? -1 : total;
}

bool DecodeMspack(const char* path) {
    msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(nullptr);
    if (decompressor == nullptr) {
        return false;
    }
    int error = decompressor->decompress(decompressor, const_cast<char*>(path),
                                         const_cast<char*>("/dev/null"));
    mspack_destroy_szdd_decompressor(decompressor);
    return error == MSPACK_ERR_OK;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_szdd FILE.SZDD [runs]\n");
        return 2;
    }
    const char* path = argv[1];
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    long long size = DecodeOurs(path);
    if (size < 0) {
        std::fprintf(stderr, "cannot decode %s\n", path);
        return 1;
    }
    double ours = -1;
    double mspack = -1;
    for (int i = 0; i < runs; ++i) {
        double start = NowSeconds();
        DecodeOurs(path);
        double t = NowSeconds() - start;
        ours = ours < 0 || t < ours ? t : ours;
        start = NowSeconds();
        if (!DecodeMspack(path)) {
            std::fprintf(stderr, "libmspack failed on %s\n", path);
            return 1;
        }
        t = NowSeconds() - start;
        mspack = mspack < 0 || t < mspack ? t : mspack;
    }
    double msexpand = TimeCommand(std::string("msexpand < '") + path + "' > /dev/null", runs);
    double mb = size / 1e6;
    std::printf("SZDD decode of %.1f MB (best of %d runs)\n", mb, runs);
    std::printf("  ours       %8.1f MB/s\n", mb / ours);
    std::printf("  libmspack  %8.1f MB/s   ours/libmspack = %.2fx\n", mb / mspack, mspack / ours);
    if (msexpand > 0) {
        std::printf(
            "  msexpand   %8.1f MB/s   ours/msexpand  = %.2fx (process, includes start-up)\n",
            mb / msexpand, msexpand / ours);
    }
    return 0;
}
