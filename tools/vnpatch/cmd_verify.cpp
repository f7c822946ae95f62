// vnpatch verify ARCHIVE INSTALLDIR: what the patch phase would do to the
// installation, record by record, without changing anything. The engine
// itself applies every record, over a dry run of the file layer, so later
// records see what earlier ones would leave and the verdicts are the ones
// apply would reach.
#include <cstdio>
#include <map>
#include <string>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/crc32.h"
#include "patch/record_info.h"
#include "payload/patch_worker.h"
#include "tools/dryrun/dry_run.h"
#include "tools/vnpatch/archive_scan.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/outcome_text.h"
#include "tools/vnpatch/tree_scan.h"

namespace {

// What a file named by the archive should be after its last record.
struct Expected {
    std::string name; // as the last record gives it
    bool present;
    uint32_t crc;
};

struct Verify {
    std::string directory;
    std::map<std::string, Expected> files; // by name, letters in one case
    int32_t applied = 0;
    int32_t skipped = 0;
    int32_t failedAt = -1; // -1 while no record failed
};

bool VerifyRecord(int32_t index, const char* entry, const unsigned char* record, int32_t length,
                  void* context) {
    Verify* v = static_cast<Verify*>(context);
    RecordInfo info;
    bool described = DescribeRecord(record, length, &info);
    if (described) {
        v->files[KeyOf(info.name)] = {info.name, info.operation != OpDelete, info.targetCrc};
    }
    if (v->failedAt >= 0) {
        std::printf("%5d  %-12s %-7s %s: not reached\n", index, entry,
                    OperationName(info.operation), info.name);
        return true;
    }
    RecordReport report;
    bool applied =
        ApplyPatchRecordReported(record, length, v->directory.c_str(), kPatchWorkerFlags, &report);
    const char* word = !applied                                  ? "FAIL"
                       : report.outcome >= OutcomeSkippedMissing ? "skip"
                                                                 : "apply";
    std::string why = OutcomeText(report, info.name);
    if (report.outcome == OutcomeSkippedOtherVersion || report.outcome == OutcomeSourceMismatch) {
        char text[64];
        std::snprintf(text, sizeof text, " (file %08X, record wants %08X)",
                      FileChecksum((v->directory + info.name).c_str()), info.sourceCrc);
        why += text;
    }
    std::printf("%5d  %-12s %-7s %s: %s: %s\n", index, entry, OperationName(info.operation),
                info.name, word, why.c_str());
    if (!applied) {
        v->failedAt = index;
    } else if (report.outcome >= OutcomeSkippedMissing) {
        ++v->skipped;
    } else {
        ++v->applied;
    }
    return true;
}

// Files the dry run leaves short of their new version; their count.
int ReportIncomplete(const Verify& v) {
    int incomplete = 0;
    for (const auto& item : v.files) {
        const Expected& want = item.second;
        std::string path = v.directory + want.name;
        bool exists = FileExists(path.c_str());
        uint32_t crc = exists ? FileChecksum(path.c_str()) : 0;
        if (want.present ? exists && crc == want.crc : !exists) {
            continue;
        }
        if (incomplete++ == 0) {
            std::printf("files not at their new version afterwards:\n");
        }
        if (want.present && exists) {
            std::printf("  %s: checksum %08X, new version %08X\n", want.name.c_str(), crc,
                        want.crc);
        } else {
            std::printf("  %s: %s\n", want.name.c_str(),
                        want.present ? "missing" : "still present");
        }
    }
    return incomplete;
}

} // namespace

int CommandVerify(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch verify ARCHIVE INSTALLDIR\n");
        return 2;
    }
    Verify v;
    v.directory = argv[1];
    if (v.directory.empty() || v.directory.back() != '\\') {
        v.directory += '\\';
    }
    if (v.directory.size() >= static_cast<size_t>(kPathSize)) {
        std::fprintf(stderr, "vnpatch: install directory too long\n");
        return 2;
    }
    if (!DryRunBegin()) {
        std::fprintf(stderr, "vnpatch: cannot make a scratch directory for the dry run\n");
        return 1;
    }
    ScanHeader header;
    std::string error;
    bool ok = ScanArchive(argv[0], &header, VerifyRecord, &v, &error);
    int code = 0;
    if (!ok) {
        std::printf("archive: %s; the patch phase would stop there\n", error.c_str());
        code = 1;
    }
    if (v.failedAt >= 0) {
        std::printf("entry %d would fail; the patch phase would stop there\n", v.failedAt);
        code = 1;
    }
    int incomplete = ok ? ReportIncomplete(v) : 0;
    DryRunEnd();
    std::printf("%d entries: %d would apply, %d skip, %d fail; result %s\n", header.count,
                v.applied, v.skipped, v.failedAt >= 0 ? 1 : 0,
                code == 0 && incomplete == 0 ? "complete" : "incomplete");
    return code == 0 && incomplete == 0 ? 0 : 1;
}
