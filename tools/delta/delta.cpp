#include "tools/delta/delta.h"

#include <cstring>

#include "patch/record_format.h"
#include "patch/record_writer.h"

namespace {

constexpr uint32_t kRollFactor = 0x01000193u;
constexpr size_t kSinkFlush = 1 << 20;

uint32_t Bucket(uint32_t hash, int32_t bits) {
    return (hash * 0x9E3779B1u) >> (32 - bits);
}

uint32_t HashBlock(const unsigned char* p, int32_t length) {
    uint32_t h = 0;
    for (int32_t i = 0; i < length; ++i) {
        h = h * kRollFactor + p[i];
    }
    return h;
}

uint32_t PowerOf(uint32_t factor, int32_t exponent) {
    uint32_t r = 1;
    for (int32_t i = 0; i < exponent; ++i) {
        r *= factor;
    }
    return r;
}

void Flush(ChunkSink* sink) {
    if (!sink->pending.empty() && !sink->failed) {
        sink->failed = std::fwrite(sink->pending.data(), 1, sink->pending.size(), sink->file) !=
                       sink->pending.size();
    }
    sink->pending.clear();
}

void EmitCopy(ChunkSink* sink) {
    if (!sink->haveCopy) {
        return;
    }
    AppendCopyChunk(&sink->pending, sink->copyOffset, sink->copyLength);
    sink->stats.streamBytes += kCopyChunkSize;
    ++sink->stats.copyChunks;
    sink->haveCopy = false;
    if (sink->pending.size() >= kSinkFlush) {
        Flush(sink);
    }
}

// Forward extent of the match of new bytes at p (limit bytes) with old at o.
uint32_t MatchForward(const BlockIndex* index, uint32_t o, const unsigned char* p, uint32_t limit) {
    uint32_t room = index->oldSize - o;
    uint32_t n = limit < room ? limit : room;
    const unsigned char* q = index->old + o;
    uint32_t i = 0;
    while (i < n && q[i] == p[i]) {
        ++i;
    }
    return i;
}

} // namespace

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
        uint32_t h = Bucket(HashBlock(old + e * step, index->blockSize), bits);
        index->links[static_cast<size_t>(e)] = index->heads[h];
        index->heads[h] = static_cast<uint32_t>(e + 1);
    }
}

void SinkBegin(ChunkSink* sink, FILE* file) {
    sink->file = file;
    sink->failed = false;
    sink->pending.clear();
    sink->haveCopy = false;
    sink->copyOffset = 0;
    sink->copyLength = 0;
    std::memset(&sink->stats, 0, sizeof sink->stats);
}

void SinkCopy(ChunkSink* sink, uint32_t offset, uint32_t length) {
    if (length == 0) {
        return;
    }
    sink->stats.copiedBytes += length;
    sink->stats.outputSize += length;
    if (sink->haveCopy && sink->copyOffset + sink->copyLength == offset &&
        sink->copyLength <= 0x7FFFFFFFu - length) {
        sink->copyLength += length;
        return;
    }
    EmitCopy(sink);
    sink->haveCopy = true;
    sink->copyOffset = offset;
    sink->copyLength = length;
}

void SinkLiteral(ChunkSink* sink, const unsigned char* bytes, uint32_t length) {
    if (length == 0) {
        return; // a pending copy may still grow
    }
    EmitCopy(sink);
    while (length > 0) {
        uint32_t n = length < kDeltaMaxLiteral ? length : kDeltaMaxLiteral;
        AppendLiteralChunk(&sink->pending, bytes, n);
        sink->stats.streamBytes += kChunkHeadSize + n;
        sink->stats.literalBytes += n;
        sink->stats.outputSize += n;
        ++sink->stats.literalChunks;
        if (sink->pending.size() >= kSinkFlush) {
            Flush(sink);
        }
        bytes += n;
        length -= n;
    }
}

bool SinkFinish(ChunkSink* sink) {
    EmitCopy(sink);
    Flush(sink);
    return !sink->failed;
}

bool EncodeDelta(const BlockIndex* index, FILE* newFile, ChunkSink* sink, int32_t minCopy,
                 DeltaProgress progress, void* context) {
    const uint32_t block = static_cast<uint32_t>(index->blockSize);
    const uint32_t outFactor = PowerOf(kRollFactor, index->blockSize - 1);
    std::vector<unsigned char> window(kDeltaWindow);
    unsigned char* buf = window.data();
    uint32_t length = 0;     // bytes in the window
    uint32_t pos = 0;        // next byte to describe
    uint32_t literal = 0;    // start of the bytes not yet emitted
    int64_t windowStart = 0; // offset of buf[0] in the new file
    bool atEnd = false;
    bool readError = false;
    // Where the last copy ended, in the new file and in the old one: after a
    // small edit the same alignment often goes on.
    int64_t lastNewEnd = -1;
    int64_t lastOldEnd = 0;
    uint32_t hash = 0;
    bool hashValid = false;

    for (;;) {
        if (!atEnd && length - pos < static_cast<uint32_t>(kDeltaLookahead)) {
            SinkLiteral(sink, buf + literal, pos - literal);
            std::memmove(buf, buf + pos, length - pos);
            windowStart += pos;
            length -= pos;
            pos = 0;
            literal = 0;
            hashValid = false;
            size_t got = std::fread(buf + length, 1, kDeltaWindow - length, newFile);
            length += static_cast<uint32_t>(got);
            if (got == 0) {
                atEnd = true;
                readError = std::ferror(newFile) != 0;
            }
            if (progress != nullptr) {
                progress(windowStart + length, context);
            }
            continue;
        }
        if (index->oldSize == 0) {
            pos = length; // nothing to copy from: all literal
        }
        if (length - pos < static_cast<uint32_t>(minCopy)) {
            if (atEnd) {
                break;
            }
            continue;
        }
        const unsigned char* here = buf + pos;
        uint32_t ahead = length - pos;
        uint32_t bestLength = 0;
        uint32_t bestBack = 0;
        uint32_t bestOld = 0;
        // Candidate 1: the alignment of the previous copy.
        int64_t expected = lastOldEnd + (windowStart + pos - lastNewEnd);
        if (lastNewEnd >= 0 && expected >= 0 && expected < index->oldSize &&
            index->old[expected] == here[0]) {
            uint32_t o = static_cast<uint32_t>(expected);
            uint32_t n = MatchForward(index, o, here, ahead);
            if (n >= static_cast<uint32_t>(minCopy)) {
                bestLength = n;
                bestOld = o;
            }
        }
        // Candidates 2 and on: old positions with the same hash, the longest wins.
        if (ahead >= block) {
            if (!hashValid) {
                hash = HashBlock(here, index->blockSize);
                hashValid = true;
            }
            uint32_t entry = index->heads[Bucket(hash, index->bits)];
            for (int32_t tries = 0; entry != 0 && tries < kDeltaCandidates; ++tries) {
                uint32_t o = (entry - 1) * static_cast<uint32_t>(index->step);
                entry = index->links[entry - 1];
                if (index->old[o] != here[0] ||
                    (bestLength > 0 && (bestLength >= ahead || o + bestLength >= index->oldSize ||
                                        index->old[o + bestLength] != here[bestLength]))) {
                    continue;
                }
                uint32_t n = MatchForward(index, o, here, ahead);
                if (n == 0) {
                    continue;
                }
                uint32_t back = 0;
                while (back < pos - literal && back < o &&
                       index->old[o - back - 1] == here[-1 - int64_t(back)]) {
                    ++back;
                }
                if (n + back > bestLength + bestBack &&
                    n + back >= static_cast<uint32_t>(minCopy)) {
                    bestLength = n;
                    bestBack = back;
                    bestOld = o;
                }
            }
        }
        if (bestLength > 0) {
            uint32_t start = pos - bestBack;
            SinkLiteral(sink, buf + literal, start - literal);
            SinkCopy(sink, bestOld - bestBack, bestBack + bestLength);
            pos += bestLength;
            literal = pos;
            lastNewEnd = windowStart + pos;
            lastOldEnd = int64_t(bestOld) + bestLength;
            hashValid = false;
            continue;
        }
        // No match: one byte on; roll the hash over it.
        if (hashValid && ahead > block) {
            hash = (hash - here[0] * outFactor) * kRollFactor + here[block];
        } else {
            hashValid = false;
        }
        ++pos;
        if (pos - literal >= kDeltaMaxLiteral) {
            SinkLiteral(sink, buf + literal, pos - literal);
            literal = pos;
        }
    }
    SinkLiteral(sink, buf + literal, length - literal);
    bool ok = SinkFinish(sink);
    return ok && !readError;
}
