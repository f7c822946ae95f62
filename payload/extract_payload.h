// Extraction phase (Windows only): writes an embedded RT_RCDATA resource byte
// for byte to a new "vnp" temporary file whose path ends up in the job's
// 260-byte path buffer.
#pragma once

#include <windows.h>

#include <cstdint>

// Which step of the extraction failed.
enum ExtractFailure : int32_t {
    ExtractFailureTempFile = 1, // no temporary file could be made
    ExtractFailureCopy = 2,     // the resource could not be written to it
};

// Called on the worker's thread when a step fails, before the temporary file
// is deleted and the status stored; the caller tells the user here.
typedef void (*ExtractFailureReport)(ExtractFailure failure);

struct ExtractJob {
    HMODULE module;              // holds the resource
    int32_t resourceId;          // RT_RCDATA id of the archive
    char* path;                  // 260 bytes: the temporary file's path
    ExtractFailureReport report; // may be null
};

// Thread body; its argument is an ExtractJob, which it no longer touches once
// it has stored ExtractStatus (1 or -1): that comes last, after the failure
// has been reported and the temporary file deleted.
void ExtractWorker(void* job);
// Makes the temporary file and fills it; on failure the report has been made.
bool ExtractPayload(const ExtractJob* job);
// Full path of a new, empty, uniquely named "vnp" file in the user's
// temporary directory, in the 260-byte buffer.
bool MakeTempFileName(char* path);
// Writes the whole RT_RCDATA resource with that id to the file, in one write.
bool CopyResourceToFile(HMODULE module, int32_t resourceId, const char* path);
