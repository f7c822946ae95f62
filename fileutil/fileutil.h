// Path and file utilities: directory walks, existence tests, whole-file reads,
// opening for write with missing directories created, forced deletion.
#pragma once

#include <cstdint>
#include <cstdio>

#include "fileutil/path.h"
#include "fileutil/platform.h"

// Called with an entry's full path (valid for the call only) and the user
// value; false stops the walk.
typedef bool (*EnumerateCallback)(const char* path, int32_t userValue);

// Count of entries matching pattern in directory, other than ".", ".." and
// plain directories (attribute word exactly 0x10); -1 when the search yields
// nothing at all or the search text does not fit.
int32_t EnumerateFiles(const char* directory, const char* pattern, EnumerateCallback callback,
                       int32_t userValue);
bool FileExists(const char* path);
// Size of the file with a new heap block of size + 1 bytes (NUL at the end)
// in *buffer for the caller to free(), or -1 with nothing handed over.
int32_t ReadWholeFile(unsigned char** buffer, const char* path);
// Creates missing directories, removes an existing file (plain delete) and
// opens a new stream; nullptr on failure.
FILE* OpenForWrite(const char* path, const char* mode);
// Clears the attributes and deletes; ignores an empty path; reports nothing.
void DeleteFileForced(const char* path);
// EnumerateCallback that deletes every entry it is given.
bool DeleteEnumeratedFile(const char* path, int32_t userValue);
