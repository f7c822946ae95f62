#include "tools/vnpatch/archive_scan.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "patch/record_format.h"
#include "payload/lz_stream.h"

namespace {

bool ReadField(int32_t handle, void* out, int32_t count, int64_t* position) {
    if (LzReadBytes(handle, out, count) != count) {
        return false;
    }
    *position += count;
    return true;
}

std::string At(const char* what, int32_t index) {
    return std::string(what) + " of entry " + std::to_string(index);
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
    header->streamLength = LzSeekBytes(handle, 0, 2);
    if (header->streamLength < 0) {
        *error = kStreamTooLongText;
        LzCloseHandle(handle);
        return false;
    }
    LzSeekBytes(handle, 0, 0);
    int64_t position = 0;
    unsigned char number[4];
    bool ok =
        ReadField(handle, header->magic, 4, &position) && ReadField(handle, number, 4, &position);
    if (!ok) {
        *error = "the archive is shorter than its 8-byte header";
        LzCloseHandle(handle);
        return false;
    }
    header->count = static_cast<int32_t>(ReadLe32(number));
    if (header->count > 0) {
        int64_t table = 4 * static_cast<int64_t>(header->count);
        if (table > header->streamLength - position || LzSeekBytes(handle, int32_t(table), 1) < 0) {
            *error = "the archive is shorter than its offset table";
            LzCloseHandle(handle);
            return false;
        }
        position += table;
    }
    std::vector<unsigned char> record;
    std::vector<char> name;
    for (int32_t i = 0; ok && i < header->count; ++i) {
        unsigned char lengths[8];
        if (!ReadField(handle, lengths, 8, &position)) {
            *error = At("the archive ends inside the lengths", i);
            ok = false;
            break;
        }
        uint32_t recordLength = ReadLe32(lengths);
        uint32_t nameLength = ReadLe32(lengths + 4);
        int64_t left = header->streamLength - position;
        if (static_cast<int64_t>(nameLength) + recordLength > left || recordLength > INT32_MAX) {
            *error = At("the archive ends inside the name or record", i);
            ok = false;
            break;
        }
        name.assign(nameLength + 1, '\0');
        record.resize(recordLength);
        if (!ReadField(handle, name.data(), static_cast<int32_t>(nameLength), &position) ||
            !ReadField(handle, record.data(), static_cast<int32_t>(recordLength), &position)) {
            *error = At("cannot read the name or record", i);
            ok = false;
            break;
        }
        if (!callback(i, name.data(), record.data(), static_cast<int32_t>(recordLength), context)) {
            break;
        }
    }
    LzCloseHandle(handle);
    return ok;
}
