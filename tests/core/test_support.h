// Scratch directories and small file helpers shared by the core tests. Paths
// are in the engine's form: a native directory, then "\"-separated names.
#pragma once

#include <string>
#include <vector>

#include "patch/record_writer.h"

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
struct ScratchDir {
    std::string path; // without a trailing separator
    ScratchDir();
    ~ScratchDir();
    // path + "\" + relative (relative uses "\" as its separator)
    std::string At(const std::string& relative) const;
    // path + "\", as the patch worker and ApplyPatchRecord take it
    std::string Install() const;
};

bool WriteFile(const std::string& path, const ByteVector& bytes);
bool WriteText(const std::string& path, const std::string& text);
// Contents, or false when the file cannot be read.
bool ReadFile(const std::string& path, ByteVector* bytes);
bool Exists(const std::string& path);
bool MakeDirectory(const std::string& path);
void RemoveTree(const std::string& path);

// Every file under dir, relative and "/" separated, sorted.
std::vector<std::string> FilesUnder(const std::string& dir);

ByteVector Bytes(const std::string& text);
// Deterministic pseudo-random bytes.
ByteVector RandomBytes(size_t count, unsigned seed);
uint32_t CrcOf(const ByteVector& bytes);

// Records of each kind, with correct checksums unless the test changes them.
ByteVector WriteRecord(const std::string& name, const ByteVector& contents);
ByteVector DeleteRecord(const std::string& name);
// Rebuilds newContents from oldContents: copies its first half from the old
// file when they share it, and carries the rest as a literal.
ByteVector PatchRecordFor(const std::string& name, const ByteVector& oldContents,
                          const ByteVector& newContents);

// ApplyPatchRecord over installDirectory (ending in "\"), by default with
// the patch worker's flags (SkipMissingTarget | SkipSourceMismatch).
bool ApplyRecord(const ByteVector& record, const std::string& installDirectory, int32_t flags = 3);
// Contents of a file the test expects to be readable; a failed read fails
// the test.
ByteVector Contents(const std::string& path);

// An old version of a file, a new one that keeps the first `kept` bytes and
// adds `added` new ones, and the OpPatch record between them.
struct FileVersions {
    ByteVector oldVersion;
    ByteVector newVersion;
    ByteVector record;
};
FileVersions MakeVersions(const std::string& name, size_t oldSize, size_t kept, size_t added,
                          unsigned seed);

// An SZDD envelope that holds only literal items: valid input for any reader.
ByteVector SzddLiteralsOnly(const ByteVector& plain);
// Whether the platform refuses to open a read-only file for writing. Wine run
// as root does not (the Unix permission check does not apply to root).
bool ReadOnlyIsEnforced();
// Whether a read-only directory shows the read-only attribute in a search.
bool ReadOnlyDirectoriesShow();

// Directory holding build-time fixtures (SZDD files made by mscompress).
std::string FixtureDir();
