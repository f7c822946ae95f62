// Our SZDD compressor against mscompress on the same inputs: output size and
// time (best of three runs each), and a check that msexpand gives back the
// input from ours.
//
//   bench_szdd_compress FILE [FILE ...]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "bench_common.h"
#include "payload/szdd_writer.h"

namespace {} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_szdd_compress FILE [FILE ...]\n");
        return 2;
    }
    char scratch[] = "/tmp/bench-szdd.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        return 1;
    }
    std::string dir = scratch;
    std::printf("%-26s %10s %10s %10s %7s %7s  %8s %8s %6s  %s\n", "input", "bytes", "ours",
                "mscompress", "ours%", "ms%", "ours s", "ms s", "time", "msexpand(ours)");
    long inTotal = 0;
    long oursTotal = 0;
    long msTotal = 0;
    double oursTime = 0;
    double msTime = 0;
    bool allOk = true;
    for (int i = 1; i < argc; ++i) {
        std::string in = argv[i];
        std::string ours = dir + "/ours.sz";
        double best = -1;
        for (int run = 0; run < 3; ++run) {
            double start = NowSeconds();
            if (!SzddCompressFile(in.c_str(), ours.c_str())) {
                std::fprintf(stderr, "cannot compress %s\n", in.c_str());
                return 1;
            }
            double elapsed = NowSeconds() - start;
            best = best < 0 || elapsed < best ? elapsed : best;
        }
        // mscompress writes NAME_ beside its input.
        std::string copy = dir + "/input";
        if (std::system(("cp " + Quote(in) + " " + Quote(copy)).c_str()) != 0) {
            return 1;
        }
        double ms = TimeCommand("rm -f " + Quote(copy + "_") + " && mscompress " + Quote(copy), 3);
        bool same =
            std::system(("msexpand < " + Quote(ours) + " | cmp -s - " + Quote(in)).c_str()) == 0;
        long size = FileSize(in);
        long oursSize = FileSize(ours);
        long msSize = FileSize(copy + "_");
        std::string name = in.substr(in.find_last_of('/') + 1).substr(0, 26);
        std::printf("%-26s %10ld %10ld %10ld %6.1f%% %6.1f%%  %8.3f %8.3f %5.2fx  %s\n",
                    name.c_str(), size, oursSize, msSize, 100.0 * oursSize / size,
                    100.0 * msSize / size, best, ms, best / ms, same ? "same" : "DIFFERENT");
        inTotal += size;
        oursTotal += oursSize;
        msTotal += msSize;
        oursTime += best;
        msTime += ms;
        allOk = allOk && same;
    }
    std::printf("%-26s %10ld %10ld %10ld %6.1f%% %6.1f%%  %8.3f %8.3f %5.2fx\n", "all", inTotal,
                oursTotal, msTotal, 100.0 * oursTotal / inTotal, 100.0 * msTotal / inTotal,
                oursTime, msTime, oursTime / msTime);
    std::printf("size ours / mscompress: %.4f; time ours / mscompress: %.2f\n",
                double(oursTotal) / double(msTotal), oursTime / msTime);
    std::system(("rm -rf " + Quote(dir)).c_str());
    return allOk ? 0 : 1;
}
