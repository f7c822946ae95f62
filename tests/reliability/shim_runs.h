// What the kill and power-cut tests share: a scratch directory in memory,
// rebuild records, and `vnpatch apply` run with the kill shim preloaded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace testsupport {

// One scratch directory for the whole test program, in memory where there
// is one.
std::string MemoryScratch();

// A new version of oldVersion made of three of its ranges (out of order),
// each followed by new bytes: appends the chunks to record and returns it in
// *newVersion.
void AddRebuild(ByteVector* record, const ByteVector& oldVersion, ByteVector* newVersion,
                unsigned seed);

// Writes a plain archive of the records, named 00000.pat, 00001.pat, ...
// in their order; false when it cannot be written.
bool WriteRecordArchive(const std::string& path, const std::vector<ByteVector>& records);

// Whether this build has the preload shim.
bool ShimAvailable();

struct ApplyRun {
    bool killed;
    int exitCode; // -1 when killed
};

// Shim settings: VARNELO_KILL_ names without the prefix -> values.
using ShimSettings = std::map<std::string, std::string>;

// Runs a program (command[0], a path) with its output discarded; with shim
// settings, the kill shim is preloaded with them; with delaySeconds >= 0 it
// is killed after that long. Safe to call from several threads at once.
ApplyRun RunUnderShim(const std::vector<std::string>& command, const ShimSettings& shim = {},
                      double delaySeconds = -1);

// `vnpatch apply archive install` through RunUnderShim.
ApplyRun RunApply(const std::string& archive, const std::string& install,
                  const ShimSettings& shim = {}, double delaySeconds = -1);

} // namespace testsupport
