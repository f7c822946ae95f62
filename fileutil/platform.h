// Thin platform layer under the file utilities. Two backends give the same
// observable behaviour: Win32 (FindFirstFileA, MoveFileA, ...) and POSIX.
// Each executable links one front for these calls: the system's
// (platform_system.cpp, the default that comes with the fileutil library),
// or the tools' dry run, which overrides it at link time.
//
// POSIX backend: "\" in a path is taken as a separator, wildcard searches and
// path components match names without regard to letter case, a rename never
// replaces an existing file, and a file without write permission is refused by
// DeleteFile as Windows refuses a read-only file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;

struct PlatformFindData {
    char name[260];
    uint32_t attributes;
};

typedef void* PlatformFindHandle;

// Starts a search of one directory for the names matching the pattern part of
// searchText. False when the directory is missing or nothing matches.
bool PlatformFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data);
bool PlatformFindNext(PlatformFindHandle handle, PlatformFindData* data);
void PlatformFindClose(PlatformFindHandle handle);

void PlatformSetAttributesNormal(const char* path);
bool PlatformSetReadOnly(const char* path);
void PlatformDeleteFile(const char* path);
bool PlatformCreateDirectory(const char* path);
// Fails when a file of the new name already exists.
bool PlatformRename(const char* from, const char* to);
FILE* PlatformOpenStream(const char* path, const char* mode);
// Writes the stream's buffer and waits until the file's data is on the disk,
// so that a power cut after it returns true cannot take the data back. The
// stream stays open; the caller closes it.
bool PlatformFlushStream(FILE* stream);

// A new, empty directory under the user's temporary directory; its path
// (without a trailing separator) in out.
bool PlatformMakeTempDirectory(char* out, size_t outSize);
// Removes an empty directory.
bool PlatformRemoveDirectory(const char* path);

// True when the byte opens a double-byte character in the ANSI code page.
bool PlatformIsLeadByte(unsigned char byte);
// POSIX only: take paths as Shift-JIS (code page 932) instead of UTF-8.
void PlatformUseShiftJis(bool enabled);
