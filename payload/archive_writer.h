// Writing a patch archive ("CF00", count, offset table, entries back to back).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct ArchiveWriter {
    FILE* file;
    int32_t count;
    int32_t added;
    uint32_t nextOffset;
    std::vector<uint32_t> offsets;
};

// Creates the file with room for count entries.
bool ArchiveBegin(ArchiveWriter* writer, const char* path, int32_t count);
// Starts an entry: its lengths and name. The record's recordLength bytes
// follow, written by the caller to writer->file in as many pieces as it likes.
bool ArchiveBeginEntry(ArchiveWriter* writer, const char* entryName, uint32_t recordLength);
// An entry with its whole record.
bool ArchiveAdd(ArchiveWriter* writer, const char* entryName, const unsigned char* record,
                uint32_t recordLength);
// Writes the offset table and closes the file; false if fewer entries came
// than announced or a write failed.
bool ArchiveFinish(ArchiveWriter* writer);

// The same layout in memory, for small archives and tests.
struct ArchiveEntry {
    const char* name;
    const std::vector<unsigned char>* record;
};
std::vector<unsigned char> BuildArchive(const std::vector<ArchiveEntry>& entries);
