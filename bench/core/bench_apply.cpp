// Applying a ~30 MB archive of ~70 records, plain and SZDD, against a plain
// `cp -r` of the same output bytes (the I/O floor), with the worker's peak
// memory next to one record plus one old file.
//   bench_apply [WORKDIR] [runs]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/core/bench_common.h"
#include "patch/crc32.h"
#include "patch/crc32_stream.h"
#include "patch/record_writer.h"
#include "payload/archive_writer.h"
#include "payload/patch_worker.h"
#include "tests/support/seeded_random.h"

namespace {

using testsupport::RandomBytes;

constexpr int kRecords = 70;

bool Save(const std::string& path, const ByteVector& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0;
}

struct Sizes {
    size_t maxRecord = 0;
    size_t maxOld = 0;
    size_t output = 0;
};

// Old and new trees and the archive between them. Patched files keep most of
// their old bytes in 64 KiB copy chunks; every eighth block is new.
bool MakeInputs(const std::string& dir, Sizes* sizes) {
    std::string cmd =
        "rm -rf '" + dir + "' && mkdir -p '" + dir + "/old/course' '" + dir + "/new/course'";
    if (std::system(cmd.c_str()) != 0) {
        return false;
    }
    ArchiveWriter writer;
    if (!ArchiveBegin(&writer, (dir + "/archive.cf00").c_str(), kRecords)) {
        return false;
    }
    for (int i = 0; i < kRecords; ++i) {
        size_t size = (i % 10 == 0) ? 2500000 : 100000 + 2500 * static_cast<size_t>(i);
        std::string name = "course\\f" + std::to_string(i) + ".bin";
        std::string file = "/course/f" + std::to_string(i) + ".bin";
        ByteVector next = RandomBytes(size, 1000 + i);
        ByteVector record;
        if (i % 5 == 4) {
            BeginRecord(&record, OpWrite, 0, CrcOf(next), name.c_str());
            AppendLiteralChunk(&record, next.data(), static_cast<uint32_t>(next.size()));
        } else {
            ByteVector old = next;
            constexpr size_t kBlock = 65536;
            for (size_t b = 0; b < old.size(); b += kBlock * 8) {
                for (size_t j = b; j < b + kBlock && j < old.size(); ++j) {
                    old[j] ^= 0xA5;
                }
            }
            if (!Save(dir + "/old" + file, old)) {
                return false;
            }
            sizes->maxOld = old.size() > sizes->maxOld ? old.size() : sizes->maxOld;
            BeginRecord(&record, OpPatch, CrcOf(old), CrcOf(next), name.c_str());
            for (size_t b = 0; b < next.size(); b += kBlock) {
                uint32_t n =
                    static_cast<uint32_t>(next.size() - b < kBlock ? next.size() - b : kBlock);
                if ((b / kBlock) % 8 == 0) {
                    AppendLiteralChunk(&record, next.data() + b, n);
                } else {
                    AppendCopyChunk(&record, static_cast<uint32_t>(b), n);
                }
            }
        }
        if (!Save(dir + "/new" + file, next)) {
            return false;
        }
        sizes->output += next.size();
        sizes->maxRecord = record.size() > sizes->maxRecord ? record.size() : sizes->maxRecord;
        char entry[16];
        std::snprintf(entry, sizeof entry, "%05d.pat", i);
        if (!ArchiveAdd(&writer, entry, record.data(), static_cast<uint32_t>(record.size()))) {
            return false;
        }
    }
    return ArchiveFinish(&writer);
}

const char* g_self = nullptr;

// Child mode: apply ARCHIVE to DIR in a process of its own, so that its peak
// memory is the worker's alone.
int ApplyInChild(const char* archive, const char* directory) {
    char install[260];
    std::snprintf(install, sizeof install, "%s", directory);
    PatchJob job{archive, install};
    PatchWorker(&job);
    return ObserveStatus(&PatchStatus) == kStatusDone ? 0 : 1;
}

// Applies the archive to a fresh copy of the old tree in a child process.
// Returns the wall time of the apply; *peakKb gets the child's peak RSS.
double ApplyOnce(const std::string& dir, const std::string& archive, long* peakKb, bool* ok) {
    std::string reset = "rm -rf '" + dir + "/run' && cp -r '" + dir + "/old' '" + dir + "/run'";
    if (std::system(reset.c_str()) != 0) {
        *ok = false;
        return -1;
    }
    double start = NowSeconds();
    pid_t child = fork();
    if (child == 0) {
        std::string install = dir + "/run";
        execl(g_self, g_self, "--apply", archive.c_str(), install.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    double elapsed = NowSeconds() - start;
    *peakKb = usage.ru_maxrss;
    *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return elapsed;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--apply") == 0) {
        return ApplyInChild(argv[2], argv[3]);
    }
    g_self = argv[0];
    std::string dir = argc > 1 ? argv[1] : "/tmp/vnpatch-bench-apply";
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    Sizes sizes;
    if (!MakeInputs(dir, &sizes)) {
        std::fprintf(stderr, "cannot make the inputs in %s\n", dir.c_str());
        return 1;
    }
    std::string compress = "cd '" + dir + "' && rm -f archive.cf00_ && mscompress archive.cf00";
    if (std::system(compress.c_str()) != 0) {
        std::fprintf(stderr, "mscompress failed\n");
        return 1;
    }
    // Peak memory of a child that applies an empty archive: the base.
    std::string empty = dir + "/empty.cf00";
    ArchiveWriter writer;
    ArchiveBegin(&writer, empty.c_str(), 0);
    ArchiveFinish(&writer);
    long baseKb = 0;
    bool ok = true;
    ApplyOnce(dir, empty, &baseKb, &ok);

    struct Result {
        const char* label;
        std::string archive;
        double best;
        long peakKb;
    } results[] = {{"plain", dir + "/archive.cf00", -1, 0},
                   {"SZDD", dir + "/archive.cf00_", -1, 0}};
    for (Result& result : results) {
        for (int i = 0; i < runs; ++i) {
            long peak = 0;
            double t = ApplyOnce(dir, result.archive, &peak, &ok);
            if (!ok) {
                std::fprintf(stderr, "apply of %s failed\n", result.archive.c_str());
                return 1;
            }
            result.best = result.best < 0 || t < result.best ? t : result.best;
            result.peakKb = peak > result.peakKb ? peak : result.peakKb;
        }
    }
    std::string verify = "diff -r '" + dir + "/run' '" + dir + "/new' > /dev/null";
    if (std::system(verify.c_str()) != 0) {
        std::fprintf(stderr, "applied tree differs from the new tree\n");
        return 1;
    }
    double cp =
        TimeCommand("rm -rf '" + dir + "/cp' && cp -r '" + dir + "/new' '" + dir + "/cp'", runs);
    std::printf("apply of %d records, %.1f MB of output (best of %d runs)\n", kRecords,
                sizes.output / 1e6, runs);
    std::printf("  cp -r of the output  %6.3f s\n", cp);
    for (const Result& result : results) {
        std::printf("  apply %-5s          %6.3f s   ratio to cp = %.2fx\n", result.label,
                    result.best, result.best / cp);
    }
    double boundMb = (sizes.maxRecord + sizes.maxOld) / 1048576.0;
    // The worker checksums every old and every new file with the engine's
    // bitwise Crc32 (this program links crc32_bitwise, not the tools'
    // table-driven one); time it alone over the same number of bytes to
    // show its share of an apply.
    ByteVector sample = RandomBytes(sizes.output, 99);
    double crcStart = NowSeconds();
    int32_t length = static_cast<int32_t>(sample.size());
    volatile uint32_t sink = Crc32(length, sample.data()) ^ Crc32(length, sample.data());
    (void)sink;
    double crcTime = NowSeconds() - crcStart;
    std::printf("  of which: bit-wise CRC-32 over old + new bytes ~ %6.3f s (%.0f MB/s), "
                "apply plain = %.2fx that\n",
                crcTime, 2 * sizes.output / 1e6 / crcTime, results[0].best / crcTime);
    std::printf("peak memory: base %.1f MiB; largest record + largest old file = %.1f MiB\n",
                baseKb / 1024.0, boundMb);
    for (const Result& result : results) {
        std::printf("  apply %-5s peak %.1f MiB, above base %.1f MiB (%.2fx the bound)\n",
                    result.label, result.peakKb / 1024.0, (result.peakKb - baseKb) / 1024.0,
                    (result.peakKb - baseKb) / 1024.0 / boundMb);
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
