#include "tools/delta/block_index.h"

void BuildBlockIndex(BlockIndex* index, const unsigned char* old, uint32_t oldSize) {
    index->old = old;
    index->oldSize = oldSize;
    int64_t step = 1;
    if (oldSize > kDeltaMaxEntries) {
        step = (oldSize + kDeltaMaxEntries - 1) / kDeltaMaxEntries;
    }
    // Every match of blockSize + step - 1 bytes still covers an entered position.
    index->step = static_cast<int32_t>(step);
    index->blockSize = kDeltaMinBlock;
    int64_t entries = oldSize >= static_cast<uint32_t>(index->blockSize)
                          ? (oldSize - index->blockSize) / step + 1
                          : 0;
    int32_t bits = 10;
    while (bits < kDeltaMaxIndexBits && (int64_t(1) << bits) < entries) {
        ++bits;
    }
    index->bits = bits;
    index->heads.assign(size_t(1) << bits, 0);
    index->links.assign(static_cast<size_t>(entries), 0);
    // Later positions first, so each chain runs from the earliest position on.
    for (int64_t e = entries; e-- > 0;) {
        uint32_t h = deltaengine::BlockBucket(old + e * step, bits);
        index->links[static_cast<size_t>(e)] = index->heads[h];
        index->heads[h] = static_cast<uint32_t>(e + 1);
    }
}
