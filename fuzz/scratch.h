// Scratch trees for the fuzz targets and their regression replays: a small
// installation directory on a fast file system, rebuilt before every input,
// and snapshots of it to compare what an input changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// One file of the scratch installation: relative path ("/" separated) and
// its contents.
struct ScratchFile {
    const char* path;
    std::string contents;
};

// Root of this process's scratch area (under /dev/shm when it exists), made on
// first use and removed at exit. Holds "inst/" and a sibling "outside.bin".
const std::string& ScratchRoot();
// The installation directory, ending in "/".
std::string ScratchInstallDir();

// Contents of the standard scratch installation: a few files with known
// checksums, a healable backup beside a partial target, a backup without its
// target, and a stale backup that matches nothing.
int ScratchFileCount();
const ScratchFile& ScratchFileAt(int index);
// Original contents of the healable target (what its ".bak" holds).
std::string ScratchOriginal(const char* path);

// Removes everything under the root and writes the standard tree.
bool ResetScratch();
// Writes bytes to a file under the root; the full path, or empty on failure.
std::string WriteScratchBlob(const char* name, const unsigned char* data, size_t size);

// Relative path -> contents of every regular file under dir.
typedef std::map<std::string, std::string> TreeSnapshot;
TreeSnapshot SnapshotTree(const std::string& dir);

// Record name as a snapshot key: separators "/" once, "." parts dropped,
// letters folded to lower case (the POSIX backend matches without case).
std::string NormalizeName(const std::string& name);
std::string LowerCase(const std::string& text);

std::string ReadFileBytes(const std::string& path);
