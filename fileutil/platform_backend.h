// The system's side of the platform layer, one backend a build (Win32 or
// POSIX). Only the fronts call it: platform_system.cpp, which hands every
// call straight on, and the tools' dry run.
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
bool BackendFlushStream(FILE* stream);
bool BackendMakeTempDirectory(char* out, size_t outSize);
bool BackendRemoveDirectory(const char* path);
