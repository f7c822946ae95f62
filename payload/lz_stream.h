// The four LZExpand operations the patch worker reads the archive through.
// Two backends: the system's lz32 (Windows updater) and the portable SZDD
// reader; an executable links exactly one.
#pragma once

#include <cstdint>

// A handle of 0 or more, or a negative value on failure.
int32_t LzOpenRead(const char* path);
// Bytes delivered: count, fewer at the end of the stream, negative on error.
int32_t LzReadBytes(int32_t handle, void* buffer, int32_t count);
// Origin 0 start, 1 current position, 2 end; the new position or negative.
int32_t LzSeekBytes(int32_t handle, int32_t offset, int32_t origin);
void LzCloseHandle(int32_t handle);
