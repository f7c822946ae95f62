#include "payload/patch_worker.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "fileutil/path.h"
#include "patch/apply_record.h"
#include "patch/record_format.h"
#include "payload/lz_stream.h"

namespace {

constexpr int32_t kWorkerFlags = SkipMissingTarget | SkipSourceMismatch;

// Read position and end of the decompressed stream, so that no length read
// from the archive makes the worker allocate or seek past the stream's end.
struct ArchiveStream {
    int32_t handle;
    int64_t position;
    int64_t length;
};

bool ReadExactly(ArchiveStream* stream, void* buffer, int32_t count) {
    if (LzReadBytes(stream->handle, buffer, count) != count) {
        return false;
    }
    stream->position += count;
    return true;
}

bool ReadNumber(ArchiveStream* stream, uint32_t* value) {
    unsigned char bytes[4];
    if (!ReadExactly(stream, bytes, 4)) {
        return false;
    }
    *value = ReadLe32(bytes);
    return true;
}

bool Fits(const ArchiveStream* stream, int64_t count) {
    return count <= stream->length - stream->position;
}

// One forward seek. A skip beyond the seek's signed 32-bit offset fails rather
// than wrapping into a backward seek: only an offset table or an over-long
// entry name in a stream of more than 2 GiB can ask for one.
bool Skip(ArchiveStream* stream, int64_t count) {
    if (!Fits(stream, count) || count > INT32_MAX) {
        return false;
    }
    if (count > 0 && LzSeekBytes(stream->handle, static_cast<int32_t>(count), 1) < 0) {
        return false;
    }
    stream->position += count;
    return true;
}

// Appends "\" unless the directory already ends in one. The test is aware of
// double-byte characters, so "...ソ" (0x83 0x5C) still gets its separator.
bool PrepareDirectory(char* directory) {
    size_t length = std::strlen(directory);
    if (length == 0) {
        return false;
    }
    return EndsWithSeparator(directory, false) || AppendText(directory, kPathSize, "\\");
}

// Applies every entry; PatchFailureNone, or why the walk stopped at the first
// failure.
PatchFailure WalkArchive(ArchiveStream* stream, const char* directory) {
    uint32_t magic = 0;
    uint32_t countField = 0;
    if (!ReadNumber(stream, &magic) || !ReadNumber(stream, &countField)) {
        return PatchFailureArchive;
    }
    int32_t count = static_cast<int32_t>(countField);
    PatchProgressCounters.total.store(count, std::memory_order_relaxed);
    PatchProgressCounters.index.store(0, std::memory_order_relaxed);
    if (count > 0 && !Skip(stream, 4 * static_cast<int64_t>(count))) {
        return PatchFailureArchive;
    }
    char name[kEntryNameSize];
    for (int32_t i = 0; i < count; ++i) {
        PatchProgressCounters.index.store(i, std::memory_order_relaxed);
        uint32_t recordLength = 0;
        uint32_t nameLength = 0;
        if (!ReadNumber(stream, &recordLength) || !ReadNumber(stream, &nameLength)) {
            return PatchFailureArchive;
        }
        // The name is never used; one too long for its buffer is skipped.
        bool nameRead = nameLength <= sizeof name
                            ? ReadExactly(stream, name, static_cast<int32_t>(nameLength))
                            : Skip(stream, nameLength);
        if (!nameRead || recordLength > INT32_MAX || !Fits(stream, recordLength)) {
            return PatchFailureArchive;
        }
        unsigned char* record =
            static_cast<unsigned char*>(std::malloc(recordLength > 0 ? recordLength : 1));
        if (record == nullptr) {
            return PatchFailureMemory;
        }
        int32_t length = static_cast<int32_t>(recordLength);
        PatchFailure failure = PatchFailureNone;
        if (!ReadExactly(stream, record, length)) {
            failure = PatchFailureArchive;
        } else if (!ApplyPatchRecord(record, length, directory, kWorkerFlags)) {
            failure = PatchFailureRecord;
        }
        std::free(record);
        if (failure != PatchFailureNone) {
            return failure;
        }
    }
    return PatchFailureNone;
}

void EndPhase(PatchFailure failure) {
    PatchFailureReason.store(failure, std::memory_order_relaxed);
    PublishStatus(&PatchStatus, failure == PatchFailureNone ? kStatusDone : kStatusFailed);
}

} // namespace

void PatchWorker(void* argument) {
    PatchJob* job = static_cast<PatchJob*>(argument);
    const char* archivePath = job->archivePath;
    char* directory = job->installDirectory;
    if (!PrepareDirectory(directory)) {
        EndPhase(PatchFailureDirectory);
        return;
    }
    ArchiveStream stream;
    stream.handle = LzOpenRead(archivePath);
    if (stream.handle < 0) {
        EndPhase(PatchFailureOpen);
        return;
    }
    // The stream's end, asked for once; the position goes back to the start.
    // The seek's signed 32-bit result cannot carry 2 GiB or more (an SZDD
    // header may declare up to 4 GiB), so such a stream is refused.
    stream.length = LzSeekBytes(stream.handle, 0, 2);
    stream.position = 0;
    PatchFailure failure = PatchFailureStreamTooLong;
    if (stream.length >= 0) {
        failure = LzSeekBytes(stream.handle, 0, 0) == 0 ? WalkArchive(&stream, directory)
                                                        : PatchFailureArchive;
    }
    LzCloseHandle(stream.handle);
    EndPhase(failure);
}
