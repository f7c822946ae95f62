// A dry run of the file layer, for the tools: an overlay over the real files
// that takes every change (writes, renames, deletions, attributes, new
// directories) and answers every later question as if it had been made.
// Written files live in a private scratch directory; the real ones are only
// read. An executable that links this library gets it as its platform front
// (platform_dry_run.cpp) in place of the system's; outside a dry run every
// call goes straight to the system's backend.
#pragma once

#include <cstddef>

#include "fileutil/platform.h"

// From Begin to End, the platform calls change nothing on the disk and
// answer as if their changes had been made (new contents are kept in a
// scratch directory that End removes). Single-threaded use only. False when
// one is on already or no scratch directory can be made.
bool DryRunBegin();
void DryRunEnd();
bool DryRunActive();

// The dry run's side of each platform call.

bool DryFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data);
bool DryFindNext(PlatformFindHandle handle, PlatformFindData* data);
void DryFindClose(PlatformFindHandle handle);
void DrySetAttributesNormal(const char* path);
bool DrySetReadOnly(const char* path);
void DryDeleteFile(const char* path);
bool DryCreateDirectory(const char* path);
bool DryRename(const char* from, const char* to);
FILE* DryOpenStream(const char* path, const char* mode);
