// Applies one patch record to an installation directory.
#pragma once

#include <cstdint>

#include "patch/record_format.h"

// A record name stays inside the installation directory and names one file:
// not empty, no drive, no leading separator, no ".." component, and no "*"
// or "?" (the existence test would take them for wildcards).
bool IsSafeRelativeName(const char* name);

// What ApplyPatchRecord makes of a record before it touches the disk.
enum RecordCheck : int32_t {
    RecordAccepted = 0,
    RecordBadHeader = 1,   // magic, version, operation, or a name not inside the record
    RecordUnsafeName = 2,  // a name IsSafeRelativeName refuses
    RecordPathTooLong = 3, // the target path, or an OpPatch's backup path, over 259 bytes
};

// The record as ApplyPatchRecord would take it under installDirectory (ending
// in "\"). A null directory stands for the shortest one, a lone "\", so that
// only names too long under any directory count as too long.
RecordCheck CheckRecord(const unsigned char* record, int32_t recordLength,
                        const char* installDirectory);

// Whether the file at path holds the start (all, part or none) of what the
// OpPatch record rebuilds from old: a backup of the record's old version is
// put back over such a file only.
bool HoldsStartOfRebuild(const unsigned char* record, int32_t recordLength,
                         const unsigned char* old, int32_t oldSize, const char* path);

// installDirectory ends in "\". True: applied, or skipped as the flags allow.
// False: the record failed; the caller applies no further record.
bool ApplyPatchRecord(const unsigned char* record, int32_t recordLength,
                      const char* installDirectory, int32_t flags);
