// Difference engine: describes a new file as copy chunks of an old file and
// literal chunks, in the patch record's chunk format.
//
// The old file is held whole (as the patch engine does when it applies the
// record); the new file is streamed through a window of fixed size, so memory
// is the old file, a block index of bounded size and one window.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

constexpr int32_t kDeltaMinBlock = 8;          // bytes hashed per position
constexpr int64_t kDeltaMaxEntries = 16 << 20; // indexed positions at most (64 MB of links)
constexpr int32_t kDeltaMaxIndexBits = 24;     // hash heads at most (64 MB)
constexpr int32_t kDeltaCandidates = 32;       // old positions tried per new position
constexpr int32_t kDeltaWindow = 8 << 20;      // new-file bytes held at once
constexpr int32_t kDeltaLookahead = 1 << 20;   // a match is extended this far at most per step
constexpr int32_t kDeltaMinCopy = 0;           // shortest copy: 0 chooses by the old file's size
constexpr uint32_t kDeltaLargeOld = 4u << 20;  // above: longer shortest copy
constexpr uint32_t kDeltaMaxLiteral = 1u << 20;

// Hash chains over the old file: every step-th position (step 1 unless the
// file has more than kDeltaMaxEntries positions) is entered under the hash of
// the blockSize bytes there. heads[hash] and links[entry] hold entry + 1, 0
// ending a chain; entry e stands for old offset e * step.
struct BlockIndex {
    const unsigned char* old;
    uint32_t oldSize;
    int32_t blockSize;
    int32_t step;
    int32_t bits;
    std::vector<uint32_t> heads;
    std::vector<uint32_t> links;
};

void BuildBlockIndex(BlockIndex* index, const unsigned char* old, uint32_t oldSize);

struct DeltaStats {
    int64_t outputSize; // bytes of the new file described
    int64_t copiedBytes;
    int64_t literalBytes;
    int64_t streamBytes; // size of the chunk stream
    int32_t copyChunks;
    int32_t literalChunks;
};

// Chunk stream written to a file as it is produced; neighbouring copies that
// continue each other are merged.
struct ChunkSink {
    FILE* file;
    bool failed;
    std::vector<unsigned char> pending;
    bool haveCopy;
    uint32_t copyOffset;
    uint32_t copyLength;
    DeltaStats stats;
};

void SinkBegin(ChunkSink* sink, FILE* file);
void SinkCopy(ChunkSink* sink, uint32_t offset, uint32_t length);
void SinkLiteral(ChunkSink* sink, const unsigned char* bytes, uint32_t length);
// False when a write failed.
bool SinkFinish(ChunkSink* sink);

typedef void (*DeltaProgress)(int64_t done, void* context);

// Reads the new file to its end and writes its chunk stream into the sink.
// The chunks are the cheapest after SZDD (by prices per literal byte, repeat
// of recent literal bytes, literal head and copy head) over the candidate
// copies found. minCopy:
// shortest copy considered, 0 for the default. False when the file cannot be
// read (or the sink failed); progress (may be null) gets the bytes read so far.
bool EncodeDelta(const BlockIndex* index, FILE* newFile, ChunkSink* sink, int32_t minCopy,
                 DeltaProgress progress, void* context);
