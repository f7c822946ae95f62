// Hash chains over the old file: where a block of new bytes may occur in it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

constexpr int32_t kDeltaMinBlock = 8;          // bytes hashed per position
constexpr int64_t kDeltaMaxEntries = 16 << 20; // indexed positions at most (64 MB of links)
constexpr int32_t kDeltaMaxIndexBits = 24;     // hash heads at most (64 MB)

// Every step-th position of the old file (step 1 unless the file has more
// than kDeltaMaxEntries positions) is entered under the hash of the
// blockSize bytes there. heads[hash] and links[entry] hold entry + 1, 0
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

namespace deltaengine {

// Hash bucket of the kDeltaMinBlock (eight) bytes at p: one multiply of
// them as a word. Inline, as the candidate search hashes every position.
inline uint32_t BlockBucket(const unsigned char* p, int32_t bits) {
    static_assert(kDeltaMinBlock == 8, "the block is hashed as one 64-bit word");
    uint64_t word;
    std::memcpy(&word, p, 8);
    return static_cast<uint32_t>((word * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// Forward extent of the match of new bytes at p (limit bytes) with old at o.
inline uint32_t MatchForward(const BlockIndex& index, uint32_t o, const unsigned char* p,
                             uint32_t limit) {
    uint32_t room = index.oldSize - o;
    uint32_t n = limit < room ? limit : room;
    const unsigned char* q = index.old + o;
    uint32_t i = 0;
    while (i < n && q[i] == p[i]) {
        ++i;
    }
    return i;
}

} // namespace deltaengine
