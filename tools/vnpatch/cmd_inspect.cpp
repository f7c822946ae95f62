// vnpatch inspect ARCHIVE [INSTALLDIR]: one line per entry, with the records
// that apply would refuse flagged.
#include <cstdio>
#include <string>

#include "fileutil/path.h"
#include "patch/apply_record.h"
#include "patch/record_info.h"
#include "tools/vnpatch/archive_scan.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/outcome_text.h"

namespace {

struct Inspection {
    const char* directory; // null: the engine's shortest directory
    int bad;
};

// Apply's own words for what it would refuse.
std::string Flag(bool valid, const RecordInfo& info, RecordCheck check, bool withDirectory) {
    if (!valid || check == RecordBadHeader) {
        return "  [" + CheckText(RecordBadHeader) + "]";
    }
    if (check == RecordUnsafeName) {
        return "  [" + CheckText(RecordUnsafeName) + "]";
    }
    if (check == RecordPathTooLong) {
        return withDirectory ? "  [" + CheckText(RecordPathTooLong) + " under INSTALLDIR]"
                             : "  [the name is too long for any installation path]";
    }
    return info.wellFormed ? "" : "  [a chunk lies outside the record]";
}

bool PrintEntry(int32_t index, const char* name, const unsigned char* record, int32_t length,
                void* context) {
    Inspection* inspection = static_cast<Inspection*>(context);
    RecordInfo info;
    bool valid = DescribeRecord(record, length, &info);
    RecordCheck check = CheckRecord(record, length, inspection->directory);
    std::string flag = Flag(valid, info, check, inspection->directory != nullptr);
    if (!flag.empty()) {
        ++inspection->bad;
    }
    std::printf("%5d  %-12s %-7s %08X %08X %10d %10lld  %s%s\n", index, name,
                OperationName(info.operation), info.sourceCrc, info.targetCrc, length,
                static_cast<long long>(info.outputSize), info.name, flag.c_str());
    return true;
}

} // namespace

int CommandInspect(int argc, char** argv) {
    if (argc != 1 && argc != 2) {
        std::fprintf(stderr, "usage: vnpatch inspect ARCHIVE [INSTALLDIR]\n"
                             "  without INSTALLDIR, names are measured against the shortest "
                             "installation directory\n");
        return 2;
    }
    // The directory as the patch worker takes it: with "\" appended.
    std::string directory;
    if (argc == 2) {
        directory = argv[1];
        if (!EndsWithSeparator(directory.c_str(), false)) {
            directory += '\\';
        }
    }
    Inspection inspection{argc == 2 ? directory.c_str() : nullptr, 0};
    ScanHeader header;
    std::string error;
    std::printf("%5s  %-12s %-7s %-8s %-8s %10s %10s  %s\n", "#", "entry", "op", "source", "target",
                "record", "output", "target name");
    bool ok = ScanArchive(argv[0], &header, PrintEntry, &inspection, &error);
    std::printf("magic \"%s\", %d entries, %lld bytes decompressed\n", header.magic, header.count,
                static_cast<long long>(header.streamLength));
    if (!ok) {
        std::fprintf(stderr, "vnpatch: %s\n", error.c_str());
        return 1;
    }
    if (inspection.bad > 0) {
        std::fprintf(stderr, "vnpatch: %d record%s would fail to apply\n", inspection.bad,
                     inspection.bad == 1 ? "" : "s");
        return 1;
    }
    return 0;
}
