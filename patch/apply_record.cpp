#include "patch/apply_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"
#include "patch/crc32.h"

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

namespace {

struct RecordHeader {
    uint32_t operation;
    uint32_t sourceCrc;
    uint32_t targetCrc;
    const char* name;
    int32_t streamStart;
};

// Checks the header: magic, version, operation, that the header and the
// whole name, NUL included, lie inside the record, and that the name is safe.
RecordCheck ParseHeader(const unsigned char* record, int32_t recordLength, RecordHeader* header) {
    if (record == nullptr || recordLength < kRecordHeaderSize) {
        return RecordBadHeader;
    }
    for (int i = 0; i < 4; ++i) {
        if (record[kOffMagic + i] != kRecordMagic[i]) {
            return RecordBadHeader;
        }
    }
    if (ReadLe32(record + kOffVersion) != kRecordVersion) {
        return RecordBadHeader;
    }
    header->operation = ReadLe32(record + kOffOperation);
    header->sourceCrc = ReadLe32(record + kOffSourceCrc);
    header->targetCrc = ReadLe32(record + kOffTargetCrc);
    uint32_t nameLength = ReadLe32(record + kOffNameLength);
    if (header->operation > OpDelete) {
        return RecordBadHeader;
    }
    if (nameLength == 0 || nameLength > static_cast<uint32_t>(recordLength - kRecordHeaderSize)) {
        return RecordBadHeader;
    }
    header->name = reinterpret_cast<const char*>(record + kOffName);
    if (std::memchr(header->name, '\0', nameLength) == nullptr) {
        return RecordBadHeader;
    }
    if (!IsSafeRelativeName(header->name)) {
        return RecordUnsafeName;
    }
    header->streamStart = kRecordHeaderSize + static_cast<int32_t>(nameLength);
    return RecordAccepted;
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
    if (header->operation == OpPatch &&
        (!CopyText(backup, kPathSize, target) || !AppendText(backup, kPathSize, ".bak"))) {
        return RecordPathTooLong;
    }
    return RecordAccepted;
}

enum class ChunkResult { Written, Invalid, CopyInWrite };

// Takes the chunk at *position: the bytes it produces (from the old contents
// or the record) in *bytes and *length, and advances the position. Every head,
// every literal and every copy range must lie inside the record and the old
// contents; old is null for a write record.
ChunkResult NextChunk(const unsigned char* record, int32_t recordLength, int32_t* position,
                      const unsigned char* old, int32_t oldSize, const unsigned char** bytes,
                      uint32_t* length) {
    int64_t pos = *position;
    if (recordLength - pos < kChunkHeadSize) {
        return ChunkResult::Invalid;
    }
    uint32_t type = ReadLe32(record + pos);
    *length = ReadLe32(record + pos + 4);
    if (type == ChunkCopy) {
        if (old == nullptr) {
            return ChunkResult::CopyInWrite;
        }
        if (recordLength - pos < kCopyChunkSize) {
            return ChunkResult::Invalid;
        }
        uint32_t offset = ReadLe32(record + pos + 8);
        if (static_cast<uint64_t>(offset) + *length > static_cast<uint64_t>(oldSize)) {
            return ChunkResult::Invalid;
        }
        *bytes = old + offset;
        *position = static_cast<int32_t>(pos + kCopyChunkSize);
        return ChunkResult::Written;
    }
    // Rebuilds accept literal chunks only; a write record takes any non-copy
    // type as a literal.
    if (old != nullptr && type != ChunkLiteral) {
        return ChunkResult::Invalid;
    }
    if (*length > static_cast<uint64_t>(recordLength - pos - kChunkHeadSize)) {
        return ChunkResult::Invalid;
    }
    *bytes = record + pos + kChunkHeadSize;
    *position = static_cast<int32_t>(pos + kChunkHeadSize + *length);
    return ChunkResult::Written;
}

// Writes the chunk at *position in one write and advances it.
ChunkResult WriteChunk(const unsigned char* record, int32_t recordLength, int32_t* position,
                       const unsigned char* old, int32_t oldSize, FILE* output) {
    const unsigned char* bytes = nullptr;
    uint32_t length = 0;
    ChunkResult result = NextChunk(record, recordLength, position, old, oldSize, &bytes, &length);
    if (result == ChunkResult::Written) {
        std::fwrite(bytes, 1, length, output);
    }
    return result;
}

// Whether the file at path holds the start of what the record rebuilds from
// old (all of it, part of it, or nothing): what a run killed while writing
// the rebuild leaves. The chunks are compared with the file piece by piece;
// the rebuilt file is never assembled. A file longer than the rebuild is not
// one. The walk ends at a chunk the rebuild would fail on, as the killed run
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
    int32_t position = header.streamStart;
    while (!ended && !differs && position < recordLength) {
        const unsigned char* bytes = nullptr;
        uint32_t length = 0;
        if (NextChunk(record, recordLength, &position, old, oldSize, &bytes, &length) !=
            ChunkResult::Written) {
            break;
        }
        while (length > 0 && !ended && !differs) {
            size_t want = length < sizeof piece ? length : sizeof piece;
            size_t got = std::fread(piece, 1, want, present);
            differs = std::memcmp(piece, bytes, got) != 0;
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
void RollBack(const char* target, const char* backup) {
    DeleteFileForced(target);
    PlatformRename(backup, target);
}

bool ApplyWrite(const unsigned char* record, int32_t recordLength, const RecordHeader& header,
                const char* target) {
    FILE* output = OpenForWrite(target, "wb");
    if (output == nullptr) {
        return false;
    }
    int32_t position = header.streamStart;
    while (position < recordLength) {
        if (WriteChunk(record, recordLength, &position, nullptr, 0, output) !=
            ChunkResult::Written) {
            std::fclose(output);
            return false;
        }
    }
    std::fclose(output);
    return FileChecksum(target) == header.targetCrc;
}

bool ApplyPatch(const unsigned char* record, int32_t recordLength, const RecordHeader& header,
                const char* target, const char* backup, int32_t flags) {
    // Heal what a killed run left under the backup name. With nothing under
    // the target name, the backup is the file as it stood before that run
    // renamed it aside (for the source test, a rebuild, or a roll-back cut
    // between its delete and its rename): it is put back whatever it holds,
    // and the record then judges it as usual. Beside a file, only a backup of
    // this record's old version is put back, and only when that file is the
    // start of this record's rebuild (a killed rebuild's output); any other
    // file there is the user's, and the record fails with both untouched.
    // Any other backup beside a file (another record's old version of the
    // same file, or the user's) is left alone. It still blocks the rename
    // below, and so fails the record, when the target is this record's old
    // version; a readable target of any other version is passed over as the
    // source test would, so that the record for that version can heal it.
    if (FileExists(backup)) {
        if (!FileExists(target)) {
            if (!PlatformRename(backup, target)) {
                return false;
            }
        } else {
            unsigned char* kept = nullptr;
            int32_t keptSize = ReadWholeFile(&kept, backup);
            bool matching = keptSize >= 0 && Crc32(keptSize, kept) == header.sourceCrc;
            bool restartable =
                matching && StartOfRebuild(record, recordLength, header, kept, keptSize, target);
            std::free(kept);
            if (matching) {
                if (!restartable) {
                    return false;
                }
                DeleteFileForced(target);
                if (!PlatformRename(backup, target)) {
                    return false;
                }
            } else {
                unsigned char* current = nullptr;
                int32_t currentSize = ReadWholeFile(&current, target);
                bool otherVersion =
                    currentSize >= 0 && Crc32(currentSize, current) != header.sourceCrc;
                std::free(current);
                if (otherVersion) {
                    return (flags & SkipSourceMismatch) != 0;
                }
            }
        }
    }
    if (!FileExists(target)) {
        return (flags & SkipMissingTarget) != 0;
    }
    if (!PlatformRename(target, backup)) {
        return false;
    }
    unsigned char* old = nullptr;
    int32_t oldSize = ReadWholeFile(&old, backup);
    if (oldSize < 0) {
        RollBack(target, backup);
        return false;
    }
    if (Crc32(oldSize, old) != header.sourceCrc) {
        std::free(old);
        RollBack(target, backup);
        return (flags & SkipSourceMismatch) != 0;
    }
    FILE* output = OpenForWrite(target, "wb");
    if (output == nullptr) {
        std::free(old);
        RollBack(target, backup);
        return false;
    }
    int32_t position = header.streamStart;
    while (position < recordLength) {
        if (WriteChunk(record, recordLength, &position, old, oldSize, output) !=
            ChunkResult::Written) {
            std::fclose(output);
            std::free(old);
            RollBack(target, backup);
            return false;
        }
    }
    std::fclose(output);
    std::free(old);
    if (FileChecksum(target) == header.targetCrc) {
        DeleteFileForced(backup);
        return true;
    }
    RollBack(target, backup);
    return false;
}

} // namespace

bool HoldsStartOfRebuild(const unsigned char* record, int32_t recordLength,
                         const unsigned char* old, int32_t oldSize, const char* path) {
    RecordHeader header;
    return ParseHeader(record, recordLength, &header) == RecordAccepted &&
           header.operation == OpPatch &&
           StartOfRebuild(record, recordLength, header, old, oldSize, path);
}

RecordCheck CheckRecord(const unsigned char* record, int32_t recordLength,
                        const char* installDirectory) {
    RecordHeader header;
    char target[kPathSize];
    char backup[kPathSize];
    return PrepareRecord(record, recordLength,
                         installDirectory != nullptr ? installDirectory : "\\", &header, target,
                         backup);
}

bool ApplyPatchRecord(const unsigned char* record, int32_t recordLength,
                      const char* installDirectory, int32_t flags) {
    RecordHeader header;
    char target[kPathSize];
    char backup[kPathSize];
    if (PrepareRecord(record, recordLength, installDirectory, &header, target, backup) !=
        RecordAccepted) {
        return false;
    }
    switch (header.operation) {
    case OpDelete:
        DeleteFileForced(target);
        return true;
    case OpWrite:
        return ApplyWrite(record, recordLength, header, target);
    default:
        return ApplyPatch(record, recordLength, header, target, backup, flags);
    }
}
