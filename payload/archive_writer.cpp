#include "payload/archive_writer.h"

#include <cstring>

#include "patch/record_format.h"
#include "patch/record_writer.h"
#include "payload/archive_reader.h"

namespace {

bool WriteLe32To(FILE* file, uint32_t value) {
    unsigned char bytes[4];
    WriteLe32(bytes, value);
    return std::fwrite(bytes, 1, 4, file) == 4;
}

} // namespace

bool ArchiveBegin(ArchiveWriter* writer, const char* path, int32_t count) {
    writer->file = std::fopen(path, "wb");
    writer->count = count;
    writer->added = 0;
    writer->nextOffset = 0;
    writer->offsets.assign(static_cast<size_t>(count > 0 ? count : 0), 0);
    if (writer->file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(kArchiveMagic, 1, 4, writer->file) == 4 &&
              WriteLe32To(writer->file, static_cast<uint32_t>(count));
    for (int32_t i = 0; ok && i < count; ++i) {
        ok = WriteLe32To(writer->file, 0);
    }
    if (!ok) {
        std::fclose(writer->file);
        writer->file = nullptr;
    }
    return ok;
}

bool ArchiveBeginEntry(ArchiveWriter* writer, const char* entryName, uint32_t recordLength) {
    if (writer->file == nullptr || writer->added >= writer->count) {
        return false;
    }
    uint32_t nameLength = static_cast<uint32_t>(std::strlen(entryName)) + 1;
    writer->offsets[static_cast<size_t>(writer->added++)] = writer->nextOffset;
    writer->nextOffset += 8 + nameLength + recordLength;
    return WriteLe32To(writer->file, recordLength) && WriteLe32To(writer->file, nameLength) &&
           std::fwrite(entryName, 1, nameLength, writer->file) == nameLength;
}

bool ArchiveAdd(ArchiveWriter* writer, const char* entryName, const unsigned char* record,
                uint32_t recordLength) {
    return ArchiveBeginEntry(writer, entryName, recordLength) &&
           std::fwrite(record, 1, recordLength, writer->file) == recordLength;
}

bool ArchiveFinish(ArchiveWriter* writer) {
    if (writer->file == nullptr) {
        return false;
    }
    bool ok = writer->added == writer->count && std::fseek(writer->file, 8, SEEK_SET) == 0;
    for (size_t i = 0; ok && i < writer->offsets.size(); ++i) {
        ok = WriteLe32To(writer->file, writer->offsets[i]);
    }
    ok = std::fclose(writer->file) == 0 && ok;
    writer->file = nullptr;
    return ok;
}

std::vector<unsigned char> BuildArchive(const std::vector<ArchiveEntry>& entries) {
    std::vector<unsigned char> out(kArchiveMagic, kArchiveMagic + 4);
    AppendLe32(&out, static_cast<uint32_t>(entries.size()));
    uint32_t offset = 0;
    for (const ArchiveEntry& entry : entries) {
        AppendLe32(&out, offset);
        offset += 8 + static_cast<uint32_t>(std::strlen(entry.name)) + 1 +
                  static_cast<uint32_t>(entry.record->size());
    }
    for (const ArchiveEntry& entry : entries) {
        AppendLe32(&out, static_cast<uint32_t>(entry.record->size()));
        uint32_t nameLength = static_cast<uint32_t>(std::strlen(entry.name)) + 1;
        AppendLe32(&out, nameLength);
        out.insert(out.end(), entry.name, entry.name + nameLength);
        out.insert(out.end(), entry.record->begin(), entry.record->end());
    }
    return out;
}
