// The patch phase's body: streams the archive out of the temporary file and
// applies its records one by one.
#pragma once

#include <cstdint>

#include "payload/phase_state.h"

struct PatchJob {
    const char* archivePath; // TempPath
    char* installDirectory;  // InstallPath, a 260-byte buffer; gets "\" appended
};

constexpr char kArchiveMagic[4] = {'C', 'F', '0', '0'};
constexpr int32_t kEntryNameSize = 260;

// Thread body; its argument points to a PatchJob. Its outcome is PatchStatus,
// 1 or -1, stored last; PatchProgressCounters follow the walk.
void PatchWorker(void* job);
