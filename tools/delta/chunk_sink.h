// Chunk stream written to a file as it is produced; neighbouring copies that
// continue each other are merged.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

constexpr uint32_t kDeltaMaxLiteral = 1u << 20; // longest literal chunk

struct DeltaStats {
    int64_t outputSize; // bytes of the new file described
    int64_t copiedBytes;
    int64_t literalBytes;
    int64_t streamBytes; // size of the chunk stream
    int32_t copyChunks;
    int32_t literalChunks;
};

struct ChunkSink {
    FILE* file;
    bool failed;
    std::vector<unsigned char> pending;
    bool haveCopy; // copyOffset and copyLength wait for a continuation
    uint32_t copyOffset;
    uint32_t copyLength;
    DeltaStats stats;
};

void SinkBegin(ChunkSink* sink, FILE* file);
void SinkCopy(ChunkSink* sink, uint32_t offset, uint32_t length);
void SinkLiteral(ChunkSink* sink, const unsigned char* bytes, uint32_t length);
// False when a write failed.
bool SinkFinish(ChunkSink* sink);
