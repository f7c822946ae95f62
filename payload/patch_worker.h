// The patch phase's body: streams the archive out of the temporary file and
// applies its records one by one.
#pragma once

#include <cstdint>

#include "payload/archive_reader.h"
#include "payload/phase_state.h"

struct PatchJob {
    const char* archivePath; // TempPath
    char* installDirectory;  // InstallPath, a 260-byte buffer; gets "\" appended
};

// Thread body; its argument points to a PatchJob. Its outcome is PatchStatus,
// 1 or -1, stored last; PatchProgressCounters follow the walk.
void PatchWorker(void* job);
