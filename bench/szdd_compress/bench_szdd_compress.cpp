// Our SZDD compressor against mscompress on the same inputs: output size and
// time (best of three runs each), a check that msexpand gives back the input
// from ours, and the smallest SZDD file the format allows for each input.
//
//   bench_szdd_compress FILE [FILE ...]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "payload/szdd_writer.h"

namespace {

// The smallest SZDD file for the bytes, worked out on its own terms: the
// decoder's window starts as 4096 spaces, a literal costs 9 bits, a match of
// 3 to 18 bytes from up to 4095 bytes back 17 bits. Every earlier position
// with the same first three bytes is tried (no bound), which gives the
// longest match at each position; with fixed costs a shortest path over the
// lengths 3 to that longest is then the minimum. Header included.
long MinimumSzddSize(const std::vector<unsigned char>& input) {
    const size_t prefix = 4096;
    std::vector<unsigned char> text(prefix, ' ');
    text.insert(text.end(), input.begin(), input.end());
    const size_t end = text.size();
    std::vector<int32_t> head(1 << 24, -1);
    std::vector<int32_t> previous(end, -1);
    auto key = [&](size_t p) { return text[p] | text[p + 1] << 8 | text[p + 2] << 16; };
    std::vector<unsigned char> longest(end, 0);
    for (size_t p = prefix - 18; p + 3 <= end; ++p) {
        int limit = static_cast<int>(end - p < 18 ? end - p : 18);
        if (p >= prefix) {
            int best = 0;
            for (int32_t c = head[key(p)]; c >= 0 && p - c <= 4095 && best < limit;
                 c = previous[c]) {
                int n = 0;
                while (n < limit && text[c + n] == text[p + n]) {
                    ++n;
                }
                best = n > best ? n : best;
            }
            longest[p] = static_cast<unsigned char>(best);
        }
        previous[p] = head[key(p)];
        head[key(p)] = static_cast<int32_t>(p);
    }
    std::vector<uint64_t> bits(end + 1, 0);
    for (size_t p = end; p-- > prefix;) {
        uint64_t best = bits[p + 1] + 9;
        for (size_t n = 3; n <= longest[p]; ++n) {
            best = bits[p + n] + 17 < best ? bits[p + n] + 17 : best;
        }
        bits[p] = best;
    }
    return 14 + static_cast<long>((bits[prefix] + 7) / 8);
}

bool ReadFile(const std::string& path, std::vector<unsigned char>* bytes) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

} // namespace

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
    std::printf("%-26s %10s %10s %10s %10s %8s %7s %7s  %8s %8s %6s  %s\n", "input", "bytes",
                "ours", "mscompress", "minimum", "ours/min", "ours%", "ms%", "ours s", "ms s",
                "time", "msexpand(ours)");
    long inTotal = 0;
    long oursTotal = 0;
    long msTotal = 0;
    long minTotal = 0;
    double worstOverMinimum = 0;
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
        std::vector<unsigned char> bytes;
        if (!ReadFile(in, &bytes)) {
            std::fprintf(stderr, "cannot read %s\n", in.c_str());
            return 1;
        }
        long minimum = MinimumSzddSize(bytes);
        double overMinimum = double(oursSize) / double(minimum);
        worstOverMinimum = overMinimum > worstOverMinimum ? overMinimum : worstOverMinimum;
        std::string name = in.substr(in.find_last_of('/') + 1).substr(0, 26);
        std::printf("%-26s %10ld %10ld %10ld %10ld %8.5f %6.1f%% %6.1f%%  %8.3f %8.3f %5.2fx  %s\n",
                    name.c_str(), size, oursSize, msSize, minimum, overMinimum,
                    100.0 * oursSize / size, 100.0 * msSize / size, best, ms, best / ms,
                    same ? "same" : "DIFFERENT");
        minTotal += minimum;
        inTotal += size;
        oursTotal += oursSize;
        msTotal += msSize;
        oursTime += best;
        msTime += ms;
        allOk = allOk && same;
    }
    std::printf("%-26s %10ld %10ld %10ld %10ld %8.5f %6.1f%% %6.1f%%  %8.3f %8.3f %5.2fx\n", "all",
                inTotal, oursTotal, msTotal, minTotal, double(oursTotal) / double(minTotal),
                100.0 * oursTotal / inTotal, 100.0 * msTotal / inTotal, oursTime, msTime,
                oursTime / msTime);
    std::printf("size ours / mscompress: %.4f; time ours / mscompress: %.2f\n",
                double(oursTotal) / double(msTotal), oursTime / msTime);
    std::printf("goals: every input within 0.1%% of the minimum (worst %.5f): %s; "
                "at least 5x faster than mscompress (%.1fx): %s\n",
                worstOverMinimum, worstOverMinimum <= 1.001 ? "held" : "NOT held",
                msTime / oursTime, msTime >= 5 * oursTime ? "held" : "NOT held");
    std::system(("rm -rf " + Quote(dir)).c_str());
    return allOk ? 0 : 1;
}
