// vnpatch inspect ARCHIVE: one line per entry.
#include <cstdio>
#include <string>

#include "patch/record_info.h"
#include "tools/vnpatch/archive_scan.h"
#include "tools/vnpatch/commands.h"

namespace {

bool PrintEntry(int32_t index, const char* name, const unsigned char* record, int32_t length,
                void* context) {
    int* bad = static_cast<int*>(context);
    RecordInfo info;
    bool valid = DescribeRecord(record, length, &info);
    if (!valid || !info.wellFormed) {
        ++*bad;
    }
    std::printf("%5d  %-12s %-7s %08X %08X %10d %10lld  %s%s\n", index, name,
                OperationName(info.operation), info.sourceCrc, info.targetCrc, length,
                static_cast<long long>(info.outputSize), info.name,
                !valid             ? "  [invalid header]"
                : !info.wellFormed ? "  [malformed chunks]"
                                   : "");
    return true;
}

} // namespace

int CommandInspect(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: vnpatch inspect ARCHIVE\n");
        return 2;
    }
    ScanHeader header;
    std::string error;
    int bad = 0;
    std::printf("%5s  %-12s %-7s %-8s %-8s %10s %10s  %s\n", "#", "entry", "op", "source", "target",
                "record", "output", "target name");
    bool ok = ScanArchive(argv[0], &header, PrintEntry, &bad, &error);
    std::printf("magic \"%s\", %d entries, %lld bytes decompressed\n", header.magic, header.count,
                static_cast<long long>(header.streamLength));
    if (!ok) {
        std::fprintf(stderr, "vnpatch: %s\n", error.c_str());
        return 1;
    }
    if (bad > 0) {
        std::fprintf(stderr, "vnpatch: %d record%s would fail to apply\n", bad,
                     bad == 1 ? "" : "s");
        return 1;
    }
    return 0;
}
