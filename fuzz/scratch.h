// Scratch trees for the fuzz targets and their regression replays: a small
// installation directory on a fast file system, rebuilt before every input,
// and read back whole (testsupport::ReadTree) to compare what an input
// changed.
#pragma once

#include <cstddef>
#include <string>

#include "tests/support/test_support.h"

// Root of this process's scratch area (under /dev/shm when it exists), made on
// first use and removed at exit. Holds "inst/" and a sibling "outside.bin".
const std::string& ScratchRoot();
// The installation directory, ending in "/".
std::string ScratchInstallDir();

// The standard scratch installation: a few files with known checksums, a
// healable backup beside a partial target, a backup without its target, and
// a stale backup that matches nothing.
const testsupport::Tree& ScratchTree();
// Original contents of a rebuild target: what its backup holds where the
// tree has one, else the file itself.
ByteVector ScratchOriginal(const std::string& path);

// Removes everything under the root and writes the standard tree.
bool ResetScratch();
// Whether the file beside the installation still holds what ResetScratch
// wrote.
bool OutsideIntact();
// Writes bytes to a file under the root; the full path, or empty on failure.
std::string WriteScratchBlob(const char* name, const unsigned char* data, size_t size);

// Record name as a tree key: separators "/" once, "." parts dropped, letters
// folded to lower case (the POSIX backend matches without case).
std::string NormalizeName(const std::string& name);
