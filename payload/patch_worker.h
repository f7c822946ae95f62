// The patch phase's body: streams the archive out of the temporary file and
// applies its records one by one.
#pragma once

#include <cstdint>

#include "patch/record_format.h"
#include "payload/archive_reader.h"
#include "payload/phase_state.h"

// The flags the worker applies every record with: a missing file, or one of
// another version, is passed over.
constexpr int32_t kPatchWorkerFlags = SkipMissingTarget | SkipSourceMismatch;

struct PatchJob {
    const char* archivePath; // TempPath
    char* installDirectory;  // InstallPath, a 260-byte buffer; gets "\" appended
};

// Thread body; its argument points to a PatchJob. Its outcome is PatchStatus,
// 1 or -1, stored last; PatchProgressCounters follow the walk.
void PatchWorker(void* job);
