#include "payload/archive_reader.h"

#include <climits>
#include <cstring>

#include "patch/record_format.h"
#include "payload/lz_stream.h"

namespace {

bool ReadExactly(ArchiveReader* reader, void* buffer, int32_t count) {
    if (LzReadBytes(reader->handle, buffer, count) != count) {
        return false;
    }
    reader->position += count;
    return true;
}

bool Fits(const ArchiveReader* reader, int64_t count) {
    return count <= reader->length - reader->position;
}

// One forward seek. A skip beyond the seek's signed 32-bit offset fails rather
// than wrapping into a backward seek: only an offset table or an over-long
// entry name in a stream of more than 2 GiB can ask for one.
bool Skip(ArchiveReader* reader, int64_t count) {
    if (!Fits(reader, count) || count > INT32_MAX) {
        return false;
    }
    if (count > 0 && LzSeekBytes(reader->handle, static_cast<int32_t>(count), 1) < 0) {
        return false;
    }
    reader->position += count;
    return true;
}

} // namespace

ArchiveError ArchiveOpen(ArchiveReader* reader, int32_t handle) {
    std::memset(reader, 0, sizeof *reader);
    reader->handle = handle;
    // The seek's signed 32-bit result cannot carry 2 GiB or more (an SZDD
    // header may declare up to 4 GiB), so such a stream is refused.
    reader->length = LzSeekBytes(handle, 0, 2);
    if (reader->length < 0) {
        return ArchiveStreamTooLong;
    }
    return LzSeekBytes(handle, 0, 0) == 0 ? ArchiveOk : ArchiveReadFailed;
}

ArchiveError ArchiveReadCount(ArchiveReader* reader) {
    unsigned char header[8];
    if (!ReadExactly(reader, header, 8)) {
        return ArchiveShortHeader;
    }
    std::memcpy(reader->magic, header, 4);
    reader->count = static_cast<int32_t>(ReadLe32(header + 4));
    return ArchiveOk;
}

ArchiveError ArchiveSkipTable(ArchiveReader* reader) {
    if (reader->count > 0 && !Skip(reader, 4 * static_cast<int64_t>(reader->count))) {
        return ArchiveShortTable;
    }
    return ArchiveOk;
}

ArchiveError ArchiveReadEntryHead(ArchiveReader* reader, ArchiveEntryHead* head) {
    unsigned char lengths[8];
    if (!ReadExactly(reader, lengths, 8)) {
        return ArchiveShortLengths;
    }
    head->recordLength = ReadLe32(lengths);
    uint32_t nameLength = ReadLe32(lengths + 4);
    head->name[0] = '\0';
    if (!Fits(reader, nameLength)) {
        return ArchiveShortName;
    }
    // A name too long for its buffer is read past, never stored.
    if (nameLength <= sizeof head->name) {
        if (!ReadExactly(reader, head->name, static_cast<int32_t>(nameLength))) {
            return ArchiveReadFailed;
        }
        if (nameLength == 0 || head->name[nameLength - 1] != '\0') {
            head->name[nameLength < sizeof head->name ? nameLength : sizeof head->name - 1] = '\0';
        }
    } else if (!Skip(reader, nameLength)) {
        return ArchiveShortName;
    }
    if (head->recordLength > INT32_MAX || !Fits(reader, head->recordLength)) {
        return ArchiveShortRecord;
    }
    return ArchiveOk;
}

ArchiveError ArchiveReadRecord(ArchiveReader* reader, unsigned char* record, uint32_t length) {
    return ReadExactly(reader, record, static_cast<int32_t>(length)) ? ArchiveOk
                                                                     : ArchiveReadFailed;
}
