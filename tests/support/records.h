// Patch records, archives and SZDD envelopes for the engine tests, with the
// checksums right unless the test changes them.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/test_support.h"

namespace testsupport {

ByteVector WriteRecord(const std::string& name, const ByteVector& contents);
ByteVector DeleteRecord(const std::string& name);
// Rebuilds newContents from oldContents: copies its first half from the old
// file when they share it, and carries the rest as a literal.
ByteVector PatchRecordFor(const std::string& name, const ByteVector& oldContents,
                          const ByteVector& newContents);

// ApplyPatchRecord over installDirectory (ending in "\"), by default with
// the patch worker's flags (SkipMissingTarget | SkipSourceMismatch).
bool ApplyRecord(const ByteVector& record, const std::string& installDirectory, int32_t flags = 3);

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

} // namespace testsupport
