// One run of the updater: locate the installation, confirm, extract, drop
// 1.0 pit data, patch, clean up.
#pragma once

#include <windows.h>

#include <cstdint>

struct FileVersion {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    uint32_t revision;
};

// Full path of the installed main executable, as the registry stores it.
extern char InstallPath[260];

// Body of WinMain; returns 0 on every path.
int UpdaterMain(HINSTANCE instance);
// Default value of HKLM "...\App Paths\VRNL.exe" into the 260-byte buffer.
bool FindInstallPath(char* buffer);
// True when path names an existing file (not a folder), or a missing one
// whose ".bak" backup is a file, and its folder part, cut at the last
// backslash, is an existing folder.
bool NamesInstalledExecutable(const char* path);
// Fixed file version of the executable's version record.
bool QueryFileVersion(const char* path, FileVersion* version);
// True for a 1.0.x.x build, whose pit data the update makes unusable.
bool IsVersionOnePointZero(const FileVersion& version);
// Deletes every "*.ptd" in the installation's "save\pit" (no subfolders).
void RemoveOldPitData(const char* executablePath);
