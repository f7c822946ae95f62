// Applies one patch record to an installation directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "patch/record_format.h"

// A record name stays inside the installation directory and names one file:
// not empty, no drive, no leading separator, no ".." component, and no "*"
// or "?" (the existence test would take them for wildcards).
bool IsSafeRelativeName(const char* name);

// The name an OpPatch record moves its target to while it rebuilds it:
// target + ".bak", within size bytes; false when it does not fit.
bool BackupPathOf(char* backup, size_t size, const char* target);

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

// What became of a record, and why: for callers that say more than
// applied or failed.
enum RecordOutcome : int32_t {
    OutcomeRebuilt = 0,
    OutcomeWritten,
    OutcomeDeleted,
    OutcomeSkippedMissing,      // no target, SkipMissingTarget given
    OutcomeSkippedOtherVersion, // target of another version, SkipSourceMismatch given
    // Failures from here on.
    OutcomeBadHeader,
    OutcomeUnsafeName,
    OutcomePathTooLong,
    OutcomeMissing,           // no target, and no flag to skip it
    OutcomeSourceMismatch,    // target of another version, and no flag to skip it
    OutcomeBackupInTheWay,    // a backup blocks moving the target aside
    OutcomeBackupNotRestored, // a backup of the old version beside a file that is not its rebuild
    OutcomeRenameRefused,     // the target could not be moved aside, or its backup not put back
    OutcomeReadFailed,        // the old file could not be read
    OutcomeCreateFailed,      // the new file could not be created
    OutcomeMalformedChunks,   // a chunk outside the record or the old contents
    OutcomeVerifyFailed,      // the file read back does not match the target checksum
    OutcomeFlushFailed,       // the new file's data could not be written through to the disk
    OutcomeBackupNotDeleted,  // rebuilt and verified, but its backup could not be deleted
};

struct RecordReport {
    RecordOutcome outcome;
    bool healed; // a backup left by an interrupted run was put back first
};

inline bool OutcomeIsFailure(RecordOutcome outcome) {
    return outcome >= OutcomeBadHeader;
}

// installDirectory ends in "\". True: applied, or skipped as the flags allow.
// False: the record failed; the caller applies no further record.
bool ApplyPatchRecord(const unsigned char* record, int32_t recordLength,
                      const char* installDirectory, int32_t flags);
// The same, with what happened in *report.
bool ApplyPatchRecordReported(const unsigned char* record, int32_t recordLength,
                              const char* installDirectory, int32_t flags, RecordReport* report);
