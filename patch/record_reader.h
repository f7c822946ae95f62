// Reading a patch record: the one header parse, with every bounds rule, and
// the one walk over its chunk stream. The engine, the tools and the fuzz
// targets all read records through these.
#pragma once

#include <cstdint>

#include "patch/record_format.h"

struct RecordHeader {
    uint32_t operation;
    uint32_t sourceCrc;
    uint32_t targetCrc;
    const char* name;    // NUL-terminated inside the record
    int32_t streamStart; // first byte of the chunk stream
};

constexpr uint32_t kUnknownOperation = 0xFFFFFFFFu;

// Magic, version and operation are known, and the header and the whole name,
// NUL included, lie inside the record. Nothing is said of the name's safety.
// When false, the operation and checksums are still filled in if the magic
// and version are right (kUnknownOperation and 0 otherwise); name is null.
bool ParseRecordHeader(const unsigned char* record, int32_t recordLength, RecordHeader* header);

struct Chunk {
    uint32_t type;         // ChunkCopy, or a literal
    uint32_t length;       // bytes the chunk produces
    uint32_t sourceOffset; // ChunkCopy: where in the old contents
    // The bytes produced: inside the record for a literal, inside the old
    // contents for a copy; null for a copy when no old contents were given.
    const unsigned char* bytes;
};

struct ChunkCursor {
    const unsigned char* record;
    int32_t recordLength;
    int32_t position;
    uint32_t operation;
    const unsigned char* old; // null: copy ranges are not checked
    int32_t oldSize;
};

enum ChunkStep : int32_t { ChunkTaken = 0, ChunkStreamEnd = 1, ChunkMalformed = 2 };

// old is the contents an OpPatch record rebuilds from; null walks the
// stream without resolving copies (to describe a record).
void BeginChunks(ChunkCursor* cursor, const unsigned char* record, int32_t recordLength,
                 const RecordHeader& header, const unsigned char* old, int32_t oldSize);
// Every head and literal must lie inside the record, every copy range inside
// the old contents when they are given; a write record holds no copies, and
// a rebuild takes literal chunks of type 1 only (a write record takes any
// other type as a literal).
ChunkStep NextChunk(ChunkCursor* cursor, Chunk* chunk);
