// Reading a patch archive ("CF00", count, offset table, then per entry the
// record length, the name length, the name and the record) from an open LZ
// stream, front to back. The patch worker and the tools read archives
// through this cursor only.
#pragma once

#include <cstdint>

constexpr char kArchiveMagic[4] = {'C', 'F', '0', '0'};
constexpr int32_t kEntryNameSize = 260;

enum ArchiveError : int32_t {
    ArchiveOk = 0,
    ArchiveStreamTooLong = 1, // the stream's end does not fit a signed 32-bit position
    ArchiveShortHeader = 2,   // fewer than 8 bytes
    ArchiveShortTable = 3,    // ends inside the offset table
    ArchiveShortLengths = 4,  // ends inside an entry's two lengths
    ArchiveShortName = 5,     // the entry name runs past the end
    ArchiveShortRecord = 6,   // the record runs past the end, or is 2 GiB or more
    ArchiveReadFailed = 7,    // the stream gave fewer bytes than it holds
};

struct ArchiveReader {
    int32_t handle;
    int64_t position;
    int64_t length;
    char magic[4]; // as read; only the count is relied on
    int32_t count;
};

struct ArchiveEntryHead {
    uint32_t recordLength;     // below 2 GiB and inside the stream
    char name[kEntryNameSize]; // empty when the stored name does not fit
};

// Asks the stream for its end and goes back to its start.
ArchiveError ArchiveOpen(ArchiveReader* reader, int32_t handle);
// Reads the magic and the count.
ArchiveError ArchiveReadCount(ArchiveReader* reader);
// Passes over the offset table; entries are read in order, not through it.
ArchiveError ArchiveSkipTable(ArchiveReader* reader);
// Reads the next entry's lengths and name; the record follows.
ArchiveError ArchiveReadEntryHead(ArchiveReader* reader, ArchiveEntryHead* head);
ArchiveError ArchiveReadRecord(ArchiveReader* reader, unsigned char* record, uint32_t length);
