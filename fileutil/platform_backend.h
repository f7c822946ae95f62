// The system's side of the platform layer, one backend a build (Win32 or
// POSIX). platform.cpp puts the dry run in front of it; nothing else calls it.
#pragma once

#include <cstddef>

#include "fileutil/platform.h"

bool BackendFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data);
bool BackendFindNext(PlatformFindHandle handle, PlatformFindData* data);
void BackendFindClose(PlatformFindHandle handle);
void BackendSetAttributesNormal(const char* path);
bool BackendSetReadOnly(const char* path);
void BackendDeleteFile(const char* path);
bool BackendCreateDirectory(const char* path);
bool BackendRename(const char* from, const char* to);
FILE* BackendOpenStream(const char* path, const char* mode);
bool BackendMakeTempDirectory(char* out, size_t outSize);
bool BackendRemoveDirectory(const char* path);
