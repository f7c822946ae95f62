#include "patch/apply_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"
#include "patch/crc32.h"
#include "patch/record_reader.h"

bool IsSafeRelativeName(const char* name) {
    if (name[0] == '\0' || name[0] == '\\' || name[0] == '/' ||
        std::strpbrk(name, ":*?") != nullptr) {
        return false;
    }
    const char* part = name;
    for (const char* p = name;; ++p) {
        if (*p == '\\' || *p == '/' || *p == '\0') {
            if (p - part == 2 && part[0] == '.' && part[1] == '.') {
                return false;
            }
            if (*p == '\0') {
                return true;
            }
            part = p + 1;
        }
    }
}

bool BackupPathOf(char* backup, size_t size, const char* target) {
    return CopyText(backup, size, target) && AppendText(backup, size, ".bak");
}

namespace {

// The header, and the name's safety.
RecordCheck ParseHeader(const unsigned char* record, int32_t recordLength, RecordHeader* header) {
    if (!ParseRecordHeader(record, recordLength, header)) {
        return RecordBadHeader;
    }
    return IsSafeRelativeName(header->name) ? RecordAccepted : RecordUnsafeName;
}

// Everything that is checked before the disk is touched: the header, then
// the target path (directory followed directly by the name) and, for
// OpPatch, its backup path (target + ".bak"), each within a path buffer.
RecordCheck PrepareRecord(const unsigned char* record, int32_t recordLength,
                          const char* installDirectory, RecordHeader* header, char* target,
                          char* backup) {
    RecordCheck check = ParseHeader(record, recordLength, header);
    if (check != RecordAccepted) {
        return check;
    }
    if (!CopyText(target, kPathSize, installDirectory) ||
        !AppendText(target, kPathSize, header->name)) {
        return RecordPathTooLong;
    }
    if (header->operation == OpPatch && !BackupPathOf(backup, kPathSize, target)) {
        return RecordPathTooLong;
    }
    return RecordAccepted;
}

// Writes the whole chunk stream, each chunk in one write, then flushes it
// through to the disk: a power cut after that cannot take the file back,
// so only then may its backup go or its record count as done. The stream
// is closed either way. OutcomeWritten means both went well.
RecordOutcome WriteChunks(const unsigned char* record, int32_t recordLength,
                          const RecordHeader& header, const unsigned char* old, int32_t oldSize,
                          FILE* output) {
    ChunkCursor cursor;
    BeginChunks(&cursor, record, recordLength, header, old, oldSize);
    Chunk chunk;
    ChunkStep step;
    while ((step = NextChunk(&cursor, &chunk)) == ChunkTaken) {
        std::fwrite(chunk.bytes, 1, chunk.length, output);
    }
    bool flushed = step == ChunkStreamEnd && PlatformFlushStream(output);
    std::fclose(output);
    if (step != ChunkStreamEnd) {
        return OutcomeMalformedChunks;
    }
    return flushed ? OutcomeWritten : OutcomeFlushFailed;
}

// True when every byte of the file is the rebuild's, or zero where a power
// cut lost what was written (a file system that had recorded the file's
// length but not yet its data reads those bytes as zeros).
bool RebuiltOrZeroed(const unsigned char* present, const unsigned char* rebuilt, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (present[i] != rebuilt[i] && present[i] != 0) {
            return false;
        }
    }
    return true;
}

// Whether the file at path holds the start of what the record rebuilds from
// old (all of it, part of it, or nothing): what a run killed while writing
// the rebuild leaves, or a power cut, which may also leave the unflushed
// part as zeros. The chunks are compared with the file piece by piece; the
// rebuilt file is never assembled. A file longer than the rebuild is not one.
// The walk ends at a chunk the rebuild would fail on, as the interrupted run
// stopped writing there.
bool StartOfRebuild(const unsigned char* record, int32_t recordLength, const RecordHeader& header,
                    const unsigned char* old, int32_t oldSize, const char* path) {
    FILE* present = PlatformOpenStream(path, "rb");
    if (present == nullptr) {
        return false;
    }
    unsigned char piece[8192];
    bool ended = false;   // the file ended inside the rebuild
    bool differs = false; // a byte of the file is not the rebuild's
    ChunkCursor cursor;
    BeginChunks(&cursor, record, recordLength, header, old, oldSize);
    Chunk chunk;
    while (!ended && !differs && NextChunk(&cursor, &chunk) == ChunkTaken) {
        const unsigned char* bytes = chunk.bytes;
        uint32_t length = chunk.length;
        while (length > 0 && !ended && !differs) {
            size_t want = length < sizeof piece ? length : sizeof piece;
            size_t got = std::fread(piece, 1, want, present);
            differs = !RebuiltOrZeroed(piece, bytes, got);
            ended = got < want;
            bytes += got;
            length -= static_cast<uint32_t>(got);
        }
    }
    bool start = !differs && (ended || std::fgetc(present) == EOF);
    bool readError = std::ferror(present) != 0;
    std::fclose(present);
    return start && !readError;
}

// Whatever stands under the target name goes, and the backup comes back.
// False when the backup could not be put back under the target's name.
bool RollBack(const char* target, const char* backup) {
    DeleteFileForced(target);
    return PlatformRename(backup, target);
}

RecordOutcome ApplyWrite(const unsigned char* record, int32_t recordLength,
                         const RecordHeader& header, const char* target) {
    FILE* output = OpenForWrite(target, "wb");
    if (output == nullptr) {
        return OutcomeCreateFailed;
    }
    RecordOutcome written = WriteChunks(record, recordLength, header, nullptr, 0, output);
    if (written != OutcomeWritten) {
        return written;
    }
    return FileChecksum(target) == header.targetCrc ? OutcomeWritten : OutcomeVerifyFailed;
}

RecordOutcome Skip(int32_t flags, int32_t flag, RecordOutcome skipped, RecordOutcome failed) {
    return (flags & flag) != 0 ? skipped : failed;
}

// Heal what a killed run left under the backup name. With nothing under the
// target name, the backup is the file as it stood before that run renamed it
// aside (for the source test, a rebuild, or a roll-back cut between its
// delete and its rename): it is put back whatever it holds, and the record
// then judges it as usual. Beside a file, only a backup of this record's old
// version is put back, and only when that file is the start of this record's
// rebuild (a killed rebuild's output); any other file there is the user's,
// and the record fails with both untouched. Any other backup beside a file
// (another record's old version of the same file, or the user's) is left
// alone. It still blocks the rename below, and so fails the record, when the
// target is this record's old version; a readable target of any other
// version is passed over as the source test would, so that the record for
// that version can heal it. OutcomeRebuilt here means: go on.
RecordOutcome HealBackup(const unsigned char* record, int32_t recordLength,
                         const RecordHeader& header, const char* target, const char* backup,
                         int32_t flags, bool* healed) {
    if (!FileExists(target)) {
        if (!PlatformRename(backup, target)) {
            return OutcomeRenameRefused;
        }
        *healed = true;
        return OutcomeRebuilt;
    }
    unsigned char* kept = nullptr;
    int32_t keptSize = ReadWholeFile(&kept, backup);
    bool matching = keptSize >= 0 && Crc32(keptSize, kept) == header.sourceCrc;
    bool restartable =
        matching && StartOfRebuild(record, recordLength, header, kept, keptSize, target);
    std::free(kept);
    if (matching) {
        if (!restartable) {
            return OutcomeBackupNotRestored;
        }
        DeleteFileForced(target);
        if (!PlatformRename(backup, target)) {
            return OutcomeRenameRefused;
        }
        *healed = true;
        return OutcomeRebuilt;
    }
    unsigned char* current = nullptr;
    int32_t currentSize = ReadWholeFile(&current, target);
    bool otherVersion = currentSize >= 0 && Crc32(currentSize, current) != header.sourceCrc;
    std::free(current);
    if (otherVersion) {
        return Skip(flags, SkipSourceMismatch, OutcomeSkippedOtherVersion, OutcomeSourceMismatch);
    }
    return OutcomeRebuilt;
}

RecordOutcome ApplyPatch(const unsigned char* record, int32_t recordLength,
                         const RecordHeader& header, const char* target, const char* backup,
                         int32_t flags, bool* healed) {
    if (FileExists(backup)) {
        RecordOutcome heal =
            HealBackup(record, recordLength, header, target, backup, flags, healed);
        if (heal != OutcomeRebuilt) {
            return heal;
        }
    }
    if (!FileExists(target)) {
        return Skip(flags, SkipMissingTarget, OutcomeSkippedMissing, OutcomeMissing);
    }
    if (!PlatformRename(target, backup)) {
        return FileExists(backup) ? OutcomeBackupInTheWay : OutcomeRenameRefused;
    }
    unsigned char* old = nullptr;
    int32_t oldSize = ReadWholeFile(&old, backup);
    if (oldSize < 0) {
        RollBack(target, backup);
        return OutcomeReadFailed;
    }
    if (Crc32(oldSize, old) != header.sourceCrc) {
        std::free(old);
        // A file left only under its backup name has vanished for the game:
        // that is a failure, never a file passed over.
        if (!RollBack(target, backup)) {
            return OutcomeRenameRefused;
        }
        return Skip(flags, SkipSourceMismatch, OutcomeSkippedOtherVersion, OutcomeSourceMismatch);
    }
    FILE* output = OpenForWrite(target, "wb");
    if (output == nullptr) {
        std::free(old);
        RollBack(target, backup);
        return OutcomeCreateFailed;
    }
    RecordOutcome written = WriteChunks(record, recordLength, header, old, oldSize, output);
    std::free(old);
    if (written != OutcomeWritten) {
        RollBack(target, backup);
        return written;
    }
    if (FileChecksum(target) != header.targetCrc) {
        RollBack(target, backup);
        return OutcomeVerifyFailed;
    }
    // A backup left beside its rebuild is reported: the next run would take
    // it for an interrupted one and rebuild the file again.
    DeleteFileForced(backup);
    return FileExists(backup) ? OutcomeBackupNotDeleted : OutcomeRebuilt;
}

} // namespace

RecordCheck CheckRecord(const unsigned char* record, int32_t recordLength,
                        const char* installDirectory) {
    RecordHeader header;
    char target[kPathSize];
    char backup[kPathSize];
    return PrepareRecord(record, recordLength,
                         installDirectory != nullptr ? installDirectory : "\\", &header, target,
                         backup);
}

bool ApplyPatchRecordReported(const unsigned char* record, int32_t recordLength,
                              const char* installDirectory, int32_t flags, RecordReport* report) {
    RecordHeader header;
    char target[kPathSize];
    char backup[kPathSize];
    report->healed = false;
    switch (PrepareRecord(record, recordLength, installDirectory, &header, target, backup)) {
    case RecordAccepted:
        break;
    case RecordUnsafeName:
        report->outcome = OutcomeUnsafeName;
        return false;
    case RecordPathTooLong:
        report->outcome = OutcomePathTooLong;
        return false;
    default:
        report->outcome = OutcomeBadHeader;
        return false;
    }
    switch (header.operation) {
    case OpDelete:
        DeleteFileForced(target);
        report->outcome = OutcomeDeleted;
        break;
    case OpWrite:
        report->outcome = ApplyWrite(record, recordLength, header, target);
        break;
    default:
        report->outcome =
            ApplyPatch(record, recordLength, header, target, backup, flags, &report->healed);
        break;
    }
    return !OutcomeIsFailure(report->outcome);
}

bool ApplyPatchRecord(const unsigned char* record, int32_t recordLength,
                      const char* installDirectory, int32_t flags) {
    RecordReport report;
    return ApplyPatchRecordReported(record, recordLength, installDirectory, flags, &report);
}
