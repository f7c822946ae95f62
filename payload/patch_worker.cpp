#include "payload/patch_worker.h"

#include <cstdlib>
#include <cstring>

#include "fileutil/path.h"
#include "patch/apply_record.h"
#include "patch/record_format.h"
#include "patch/record_reader.h"
#include "payload/archive_reader.h"
#include "payload/lz_stream.h"

namespace {

// Appends "\" unless the directory already ends in one. The test is aware of
// double-byte characters, so "...ソ" (0x83 0x5C) still gets its separator.
bool PrepareDirectory(char* directory) {
    size_t length = std::strlen(directory);
    if (length == 0) {
        return false;
    }
    return EndsWithSeparator(directory, false) || AppendText(directory, kPathSize, "\\");
}

// The file a record names into out (a path buffer); empty when its header
// cannot be read.
void RecordName(const unsigned char* record, int32_t length, char* out) {
    RecordHeader header;
    if (!ParseRecordHeader(record, length, &header) || !CopyText(out, kPathSize, header.name)) {
        out[0] = '\0';
    }
}

// Applies every entry; PatchFailureNone, or why the walk stopped at the first
// failure. No length read from the archive makes the worker allocate or seek
// past the stream's end.
PatchFailure WalkArchive(ArchiveReader* reader, const char* directory) {
    if (ArchiveReadCount(reader) != ArchiveOk) {
        return PatchFailureArchive;
    }
    int32_t count = reader->count;
    PatchProgressCounters.total.store(count, std::memory_order_relaxed);
    PatchProgressCounters.index.store(0, std::memory_order_relaxed);
    if (ArchiveSkipTable(reader) != ArchiveOk) {
        return PatchFailureArchive;
    }
    ArchiveEntryHead head;
    for (int32_t i = 0; i < count; ++i) {
        PatchProgressCounters.index.store(i, std::memory_order_relaxed);
        if (ArchiveReadEntryHead(reader, &head) != ArchiveOk) {
            return PatchFailureArchive;
        }
        uint32_t recordLength = head.recordLength;
        unsigned char* record =
            static_cast<unsigned char*>(std::malloc(recordLength > 0 ? recordLength : 1));
        if (record == nullptr) {
            return PatchFailureMemory;
        }
        int32_t length = static_cast<int32_t>(recordLength);
        PatchFailure failure = PatchFailureNone;
        RecordReport report;
        if (ArchiveReadRecord(reader, record, recordLength) != ArchiveOk) {
            failure = PatchFailureArchive;
        } else if (!ApplyPatchRecordReported(record, length, directory, kPatchWorkerFlags,
                                             &report)) {
            failure = PatchFailureRecord;
            PatchFailedRecord.report = report;
            RecordName(record, length, PatchFailedRecord.name);
        } else if (PatchRecordSeen != nullptr) {
            char name[kPathSize];
            RecordName(record, length, name);
            PatchRecordSeen(i, name, report);
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
    int32_t handle = LzOpenRead(archivePath);
    if (handle < 0) {
        EndPhase(PatchFailureOpen);
        return;
    }
    ArchiveReader reader;
    ArchiveError opened = ArchiveOpen(&reader, handle);
    PatchFailure failure = opened == ArchiveStreamTooLong ? PatchFailureStreamTooLong
                           : opened != ArchiveOk          ? PatchFailureArchive
                                                          : WalkArchive(&reader, directory);
    LzCloseHandle(handle);
    EndPhase(failure);
}
