#include "tools/vnpatch/archive_scan.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload/archive_reader.h"
#include "payload/lz_stream.h"

namespace {

std::string At(const char* what, int32_t index) {
    return std::string(what) + " of entry " + std::to_string(index);
}

std::string ErrorText(ArchiveError error, int32_t index) {
    switch (error) {
    case ArchiveStreamTooLong:
        return kStreamTooLongText;
    case ArchiveShortHeader:
        return "the archive is shorter than its 8-byte header";
    case ArchiveShortTable:
        return "the archive is shorter than its offset table";
    case ArchiveShortLengths:
        return At("the archive ends inside the lengths", index);
    case ArchiveShortName:
    case ArchiveShortRecord:
        return At("the archive ends inside the name or record", index);
    default:
        return At("cannot read the name or record", index);
    }
}

} // namespace

bool ScanArchive(const char* path, ScanHeader* header, ScanCallback callback, void* context,
                 std::string* error) {
    std::memset(header, 0, sizeof *header);
    int32_t handle = LzOpenRead(path);
    if (handle < 0) {
        *error = "cannot open the archive (missing, unreadable, or a damaged SZDD header)";
        return false;
    }
    ArchiveReader reader;
    ArchiveError result = ArchiveOpen(&reader, handle);
    header->streamLength = reader.length;
    if (result == ArchiveOk) {
        result = ArchiveReadCount(&reader);
    }
    if (result == ArchiveOk) {
        std::memcpy(header->magic, reader.magic, 4);
        header->count = reader.count;
        result = ArchiveSkipTable(&reader);
    }
    std::vector<unsigned char> record;
    int32_t index = 0;
    while (result == ArchiveOk && index < header->count) {
        ArchiveEntryHead head;
        result = ArchiveReadEntryHead(&reader, &head);
        if (result == ArchiveOk) {
            record.resize(head.recordLength);
            result = ArchiveReadRecord(&reader, record.data(), head.recordLength);
        }
        if (result != ArchiveOk) {
            break; // index names the entry that could not be read
        }
        if (!callback(index, head.name, record.data(), static_cast<int32_t>(head.recordLength),
                      context)) {
            break;
        }
        ++index;
    }
    LzCloseHandle(handle);
    if (result != ArchiveOk) {
        *error = ErrorText(result, index);
        return false;
    }
    return true;
}
