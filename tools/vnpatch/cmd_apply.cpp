// vnpatch apply ARCHIVE INSTALLDIR: the updater's patch phase on the command
// line. The worker runs on its own thread; the main thread polls its state
// every 100 ms, as the progress window does.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileutil/path.h"
#include "fileutil/platform_process.h"
#include "payload/patch_worker.h"
#include "payload/worker_thread.h"
#include "tools/vnpatch/archive_scan.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/outcome_text.h"

namespace {

// The entries passed over, as the worker reports them; read once the
// worker's status says it is done.
std::vector<std::string> g_passedOver;

void NotePassedOver(int32_t index, const char* name, const RecordReport& report) {
    if (report.outcome == OutcomeSkippedMissing || report.outcome == OutcomeSkippedOtherVersion) {
        g_passedOver.push_back("entry " + std::to_string(index) + " (" + name + "): passed over, " +
                               OutcomeText(report, name));
    }
}

void PrintPassedOver() {
    for (const std::string& line : g_passedOver) {
        std::printf("%s\n", line.c_str());
    }
}

} // namespace

int CommandApply(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch apply ARCHIVE INSTALLDIR\n");
        return 2;
    }
    char archive[kPathSize];
    char directory[kPathSize];
    if (!CopyText(archive, sizeof archive, argv[0]) ||
        !CopyText(directory, sizeof directory, argv[1])) {
        std::fprintf(stderr, "vnpatch: path too long (at most %d bytes)\n", kPathSize - 1);
        return 2;
    }
    PatchJob job{archive, directory};
    ResetPatchPhase();
    PatchRecordSeen = NotePassedOver;
    if (!StartWorkerThread(PatchWorker, &job)) {
        std::fprintf(stderr, "vnpatch: cannot start the patch worker\n");
        return 1;
    }
    int32_t status;
    while ((status = ObserveStatus(&PatchStatus)) == kStatusRunning) {
        int32_t total = PatchProgressCounters.total.load(std::memory_order_relaxed);
        if (total != kInitialTotal) {
            DrawProgress("records", PatchProgressCounters.index.load(std::memory_order_relaxed),
                         total);
        }
        PlatformSleepMilliseconds(100);
    }
    int32_t total = PatchProgressCounters.total.load();
    int32_t index = PatchProgressCounters.index.load();
    if (status == kStatusDone) {
        DrawProgress("records", total > 0 ? total : 0, total > 0 ? total : 0);
        EndProgress();
        PrintPassedOver();
        std::printf("applied %d record%s to %s\n", total > 0 ? total : 0, total == 1 ? "" : "s",
                    argv[1]);
        return 0;
    }
    EndProgress();
    PrintPassedOver();
    int32_t failure = PatchFailureReason.load();
    if (failure == PatchFailureDirectory) {
        std::fprintf(stderr, "vnpatch: applying the patch failed: the install directory is empty "
                             "or too long for its trailing \"\\\"\n");
    } else if (failure == PatchFailureOpen) {
        std::fprintf(stderr, "vnpatch: applying the patch failed: cannot open or read the archive "
                             "(missing, unreadable, or a damaged SZDD header)\n");
    } else if (failure == PatchFailureStreamTooLong) {
        std::fprintf(stderr, "vnpatch: applying the patch failed: %s\n", kStreamTooLongText);
    } else if (total == kInitialTotal) {
        std::fprintf(stderr, "vnpatch: applying the patch failed: the archive is shorter than its "
                             "8-byte header\n");
    } else {
        std::string why;
        if (failure == PatchFailureRecord) {
            const PatchStop& stop = PatchFailedRecord;
            why = " (" + std::string(stop.name) + "): " + OutcomeText(stop.report, stop.name);
        } else if (failure == PatchFailureMemory) {
            why = ": no memory for its record";
        } else {
            why = ": the archive ends, or a length runs past its end, inside it";
        }
        std::fprintf(stderr,
                     "vnpatch: applying the patch failed at entry %d of %d%s; entries before it "
                     "stay applied, that entry's file is left as its record allows\n",
                     index, total, why.c_str());
    }
    return 1;
}
