// The dry run's side of the platform layer: an overlay over the real files
// that takes every change (writes, renames, deletions, attributes, new
// directories) and answers every later question as if it had been made.
// Written files live in a private scratch directory; the real ones are only
// read.
#pragma once

#include <cstddef>

#include "fileutil/platform.h"

bool DryRunActive();
bool DryRunBegin();
void DryRunEnd();

bool DryFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data);
bool DryFindNext(PlatformFindHandle handle, PlatformFindData* data);
void DryFindClose(PlatformFindHandle handle);
void DrySetAttributesNormal(const char* path);
bool DrySetReadOnly(const char* path);
void DryDeleteFile(const char* path);
bool DryCreateDirectory(const char* path);
bool DryRename(const char* from, const char* to);
FILE* DryOpenStream(const char* path, const char* mode);
