#include "patch/record_reader.h"

#include <cstring>

bool ParseRecordHeader(const unsigned char* record, int32_t recordLength, RecordHeader* header) {
    header->operation = kUnknownOperation;
    header->sourceCrc = 0;
    header->targetCrc = 0;
    header->name = nullptr;
    header->streamStart = 0;
    if (record == nullptr || recordLength < kRecordHeaderSize ||
        std::memcmp(record + kOffMagic, kRecordMagic, 4) != 0 ||
        ReadLe32(record + kOffVersion) != kRecordVersion) {
        return false;
    }
    header->operation = ReadLe32(record + kOffOperation);
    header->sourceCrc = ReadLe32(record + kOffSourceCrc);
    header->targetCrc = ReadLe32(record + kOffTargetCrc);
    uint32_t nameLength = ReadLe32(record + kOffNameLength);
    if (header->operation > OpDelete || nameLength == 0 ||
        nameLength > static_cast<uint32_t>(recordLength - kRecordHeaderSize)) {
        return false;
    }
    header->name = reinterpret_cast<const char*>(record + kOffName);
    if (std::memchr(header->name, '\0', nameLength) == nullptr) {
        return false;
    }
    header->streamStart = kRecordHeaderSize + static_cast<int32_t>(nameLength);
    return true;
}

void BeginChunks(ChunkCursor* cursor, const unsigned char* record, int32_t recordLength,
                 const RecordHeader& header, const unsigned char* old, int32_t oldSize) {
    cursor->record = record;
    cursor->recordLength = recordLength;
    cursor->position = header.streamStart;
    cursor->operation = header.operation;
    cursor->old = old;
    cursor->oldSize = oldSize;
}

ChunkStep NextChunk(ChunkCursor* cursor, Chunk* chunk) {
    int64_t pos = cursor->position;
    int64_t left = cursor->recordLength - pos;
    if (left <= 0) {
        return ChunkStreamEnd;
    }
    if (left < kChunkHeadSize) {
        return ChunkMalformed;
    }
    const unsigned char* head = cursor->record + pos;
    chunk->type = ReadLe32(head);
    chunk->length = ReadLe32(head + 4);
    chunk->sourceOffset = 0;
    if (chunk->type == ChunkCopy) {
        if (cursor->operation != OpPatch || left < kCopyChunkSize) {
            return ChunkMalformed;
        }
        chunk->sourceOffset = ReadLe32(head + 8);
        chunk->bytes = nullptr;
        if (cursor->old != nullptr) {
            if (static_cast<uint64_t>(chunk->sourceOffset) + chunk->length >
                static_cast<uint64_t>(cursor->oldSize)) {
                return ChunkMalformed;
            }
            chunk->bytes = cursor->old + chunk->sourceOffset;
        }
        cursor->position = static_cast<int32_t>(pos + kCopyChunkSize);
        return ChunkTaken;
    }
    if ((cursor->operation == OpPatch && chunk->type != ChunkLiteral) ||
        chunk->length > static_cast<uint64_t>(left - kChunkHeadSize)) {
        return ChunkMalformed;
    }
    chunk->bytes = head + kChunkHeadSize;
    cursor->position = static_cast<int32_t>(pos + kChunkHeadSize + chunk->length);
    return ChunkTaken;
}
