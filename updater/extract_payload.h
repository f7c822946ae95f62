// Extraction phase: writes the embedded archive (RCDATA IDR_PATCHDATA) byte
// for byte to a new "vnp" temporary file whose path ends up in TempPath.
#pragma once

#include <cstdint>

// Thread body; its argument is the 260-byte TempPath buffer. Its outcome is
// ExtractStatus, 1 or -1, stored last: after a failure message has been
// dismissed and the temporary file deleted.
void ExtractWorker(void* tempPath);
// Makes the temporary file and fills it; on failure its message has been shown.
bool ExtractPayload(char* path);
// Full path of a new, empty, uniquely named "vnp" file in the user's
// temporary directory, in the 260-byte buffer.
bool MakeTempFileName(char* path);
// Writes the whole RT_RCDATA resource with that id to the file, in one write.
bool CopyResourceToFile(int32_t resourceId, const char* path);
