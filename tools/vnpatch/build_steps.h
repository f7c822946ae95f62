// The per-file steps of `vnpatch build`: a new file's chunk stream against an
// old version, spooled, and the archive entry of a planned record. The delta
// benchmark takes the same steps, so that it measures what ships.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "patch/record_format.h"
#include "payload/archive_writer.h"
#include "tools/delta/delta.h"
#include "tools/vnpatch/tree_scan.h"

// Where a planned record's chunk stream comes from.
enum StreamKind { StreamNone, StreamWholeFile, StreamSpooled };

struct PlannedRecord {
    RecordOp op;
    std::string name;
    uint32_t sourceCrc;
    uint32_t targetCrc;
    StreamKind kind;
    std::string wholePath; // StreamWholeFile: the new file, as one literal chunk
    uint64_t wholeSize;
    int64_t spoolOffset; // StreamSpooled
    int64_t spoolLength;
};

// Bytes of the record's chunk stream.
int64_t StreamSize(const PlannedRecord& record);

// Chunk stream of newFile against old, appended to the spool; progress (may
// be null) hears of the new file's bytes as they are read. False with a
// reason when a file cannot be read or written, or the new file changed
// while it was read.
bool SpoolDelta(const TreeFile& old, const TreeFile& newFile, FILE* spool, int32_t minCopy,
                DeltaProgress progress, void* context, DeltaStats* stats, std::string* error);

// One entry whose record is assembled from its header and a streamed chunk
// stream copied from the spool or the new file.
bool AddPlannedEntry(ArchiveWriter* writer, const char* entryName, const PlannedRecord& record,
                     FILE* spool);
