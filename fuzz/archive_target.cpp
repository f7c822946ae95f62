// PatchWorker over the input as an archive file (SZDD or plain) and the
// scratch installation: the worker must end with a status and touch nothing
// outside the installation. (The backup rules are checked per record by the
// record target; an archive may legitimately write files named "*.bak".)
#include <cstdio>
#include <cstring>
#include <string>

#include "fileutil/path.h"
#include "fuzz/scratch.h"
#include "fuzz/targets.h"
#include "payload/patch_worker.h"

bool FuzzArchiveInput(const uint8_t* data, size_t size) {
    if (!ResetScratch()) {
        return true;
    }
    std::string archive = WriteScratchBlob("archive.in", data, size);
    if (archive.empty()) {
        return true;
    }
    char directory[kPathSize];
    std::string install = ScratchInstallDir();
    std::snprintf(directory, sizeof directory, "%s", install.c_str());
    PatchJob job{archive.c_str(), directory};
    ResetPatchPhase();
    PatchWorker(&job);
    int32_t status = ObserveStatus(&PatchStatus);
    if (status != kStatusDone && status != kStatusFailed) {
        std::fprintf(stderr, "archive: worker ended with status %d\n", status);
        return false;
    }
    if (!OutsideIntact()) {
        std::fprintf(stderr, "archive: a file outside the installation changed\n");
        return false;
    }
    for (const std::string& entry : testsupport::FilesUnder(ScratchRoot())) {
        if (entry.compare(0, 5, "inst/") != 0 && entry != "outside.bin" && entry != "archive.in" &&
            entry != "szdd.in") {
            std::fprintf(stderr, "archive: file created outside the installation: %s\n",
                         entry.c_str());
            return false;
        }
    }
    return true;
}
