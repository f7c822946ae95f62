// Difference engine: describes a new file as copy chunks of an old file and
// literal chunks, in the patch record's chunk format.
//
// The old file is held whole (as the patch engine does when it applies the
// record); the new file is streamed through a window of fixed size, so memory
// is the old file, a block index of bounded size and one window.
//
// EncodeDelta takes the window a segment at a time: candidates.h gathers the
// copies the block index offers, price_model.h prices literal bytes as the
// SZDD stage would see them, and parse.h picks the cheapest chunks and writes
// them to the sink.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/delta/block_index.h"
#include "tools/delta/chunk_sink.h"

constexpr int32_t kDeltaCandidates = 32;      // old positions tried per new position
constexpr int32_t kDeltaWindow = 8 << 20;     // new-file bytes held at once
constexpr int32_t kDeltaLookahead = 1 << 20;  // a match is extended this far at most per step
constexpr int32_t kDeltaMinCopy = 0;          // shortest copy: 0 chooses by the old file's size
constexpr uint32_t kDeltaLargeOld = 4u << 20; // above: longer shortest copy

typedef void (*DeltaProgress)(int64_t done, void* context);

// Reads the new file to its end and writes its chunk stream into the sink.
// The chunks are the cheapest after SZDD (by prices per literal byte, repeat
// of recent literal bytes, literal head and copy head) over the candidate
// copies found. minCopy:
// shortest copy considered, 0 for the default. False when the file cannot be
// read (or the sink failed); progress (may be null) gets the bytes read so far.
bool EncodeDelta(const BlockIndex* index, FILE* newFile, ChunkSink* sink, int32_t minCopy,
                 DeltaProgress progress, void* context);
