// Thin platform layer under the file utilities. Two backends give the same
// observable behaviour: Win32 (FindFirstFileA, MoveFileA, ...) and POSIX.
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

// A dry run: from Begin to End, the calls above change nothing on the disk
// and answer as if their changes had been made (new contents are kept in a
// scratch directory that End removes). Single-threaded use only. False when
// one is on already or no scratch directory can be made.
bool PlatformBeginDryRun();
void PlatformEndDryRun();

// A new, empty directory under the user's temporary directory; its path
// (without a trailing separator) in out.
bool PlatformMakeTempDirectory(char* out, size_t outSize);
// Removes an empty directory.
bool PlatformRemoveDirectory(const char* path);

// True when the byte opens a double-byte character in the ANSI code page.
bool PlatformIsLeadByte(unsigned char byte);
// POSIX only: take paths as Shift-JIS (code page 932) instead of UTF-8.
void PlatformUseShiftJis(bool enabled);
