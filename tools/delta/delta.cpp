#include "tools/delta/delta.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace {

using deltaengine::BlockBucket;
using deltaengine::MatchForward;

// Index of the last of eight bytes where a and b differ, -1 if none does.
int32_t LastDifferentByte(const unsigned char* a, const unsigned char* b) {
    if (std::memcmp(a, b, 8) == 0) {
        return -1;
    }
    int32_t i = 7;
    while (a[i] == b[i]) {
        --i;
    }
    return i;
}

// Costs in 128ths of a byte, as the chunks come out of the SZDD stage on
// typical archives: a literal byte is a 9-bit LZSS literal; 3 to 18 literal
// bytes that repeat literal bytes shortly before are one 17-bit match (priced
// a bit above, since the repeats are guessed before the literals are known); a
// literal chunk's head (type 1, a short length, zeros) mostly matches earlier
// heads; a copy head's zeros match too, its length and offset bytes mostly do
// not.
constexpr int32_t kCostUnit = 16; // per eighth of a byte
constexpr int32_t kLiteralByteCost = 9 * kCostUnit;
constexpr int32_t kLzssMatchCost = 18 * kCostUnit;
constexpr int32_t kRunByteCost = 1 * kCostUnit;
constexpr int32_t kLiteralHeadCost = 24 * kCostUnit;
constexpr int32_t kCopyHeadCost = 44 * kCostUnit;
// A copy chunk equal to the one just before it (tables of one repeated
// record) is one LZSS match that goes on from 12 bytes back.
constexpr int32_t kRepeatCopyCost = 12 * kCostUnit;
// The SZDD stage's window and match lengths.
constexpr uint32_t kLzssWindow = 4096;
constexpr uint32_t kLzssMinMatch = 3;
constexpr uint32_t kLzssMaxMatch = 18;
constexpr int32_t kLzssHashBits = 12;
constexpr int32_t kLzssCandidates = 8;
// Bytes inside copies at least this long keep the plain literal price: the
// copy wins whatever they would cost.
constexpr uint32_t kPricedCopy = 256;
constexpr int32_t kSegment = 1 << 16; // new bytes parsed together
constexpr int32_t kRecentAlignments = 8;
constexpr int32_t kSearchMargin = 32;
constexpr uint32_t kLongEnough = 1024;
constexpr uint32_t kNewAlignmentCopy = 16; // search again this close to the end of the known copies
constexpr int32_t kInfinity = INT32_MAX / 2;

// A run of new bytes [start, end) (window positions) equal to the old bytes
// at position + delta.
struct Interval {
    uint32_t start;
    uint32_t end;
    int64_t delta;
    int32_t bestCost; // cheapest state at a start so far (for the parse)
    uint32_t bestStart;
};

struct Parser {
    const BlockIndex* index;
    ChunkSink* sink;
    int32_t minCopy;
    unsigned char* buf;
    uint32_t length;
    int64_t windowStart;
    uint32_t literal; // start of the bytes not yet emitted
    // State at the end of the emitted part.
    bool endsInLiteral;
    bool endsInCopy;
    int64_t lastDelta;
    std::vector<Interval> intervals; // candidates, by start
    int64_t recent[kRecentAlignments];
    uint32_t recentEnd[kRecentAlignments]; // looked at again from here
    int32_t recentCount;
    // Parse of one segment, by position from its start.
    std::vector<int32_t> literalCost; // last item a literal
    std::vector<int32_t> copyCost;    // last item a copy (or nothing)
    std::vector<unsigned char> literalFromCopy;
    std::vector<int64_t> copyDelta;
    std::vector<uint32_t> copyStart;
    std::vector<int32_t> active;
    // Longest repeat the SZDD stage would find at each position, and the
    // cheapest literal state reached by one such repeat.
    std::vector<unsigned char> lzssLength;
    std::vector<int32_t> viaMatch;
    std::vector<uint32_t> matchFrom;
    // Recent new-file positions by the hash of their first three bytes, as
    // the SZDD stage would find them: heads hold position + 1, links are by
    // position modulo the window.
    std::vector<uint32_t> lzssHeads;
    std::vector<uint32_t> lzssLinks;
    uint32_t lzssEntered; // positions below are entered
    // Which new bytes go out as literals: this segment's by guess (those
    // outside every candidate copy), the one before by what was emitted.
    uint32_t segmentFrom;
    std::vector<unsigned char> literalHere;
    uint32_t previousFrom;
    std::vector<unsigned char> literalBefore;
};

int64_t OldAt(const Parser* p, uint32_t position, int64_t delta) {
    return p->windowStart + position + delta;
}

void AddInterval(Parser* p, uint32_t start, uint32_t end, int64_t delta) {
    // Overlapping runs of one alignment are one run.
    size_t look = p->intervals.size() < 8 ? p->intervals.size() : 8;
    for (size_t i = p->intervals.size() - look; i < p->intervals.size(); ++i) {
        Interval& v = p->intervals[i];
        if (v.delta == delta && start <= v.end && v.start <= end) {
            v.start = start < v.start ? start : v.start;
            v.end = end > v.end ? end : v.end;
            return;
        }
    }
    p->intervals.push_back(Interval{start, end, delta, kInfinity, 0});
}

void Remember(Parser* p, int64_t delta, uint32_t end) {
    int32_t slot = 0;
    while (slot < p->recentCount && p->recent[slot] != delta) {
        ++slot;
    }
    if (slot == p->recentCount) {
        slot = p->recentCount < kRecentAlignments ? p->recentCount++ : kRecentAlignments - 1;
    }
    for (; slot > 0; --slot) {
        p->recent[slot] = p->recent[slot - 1];
        p->recentEnd[slot] = p->recentEnd[slot - 1];
    }
    p->recent[0] = delta;
    p->recentEnd[0] = end;
}

// Runs from k on of the recent alignments that are due to be looked at (small
// edits keep an alignment); returns what the known copies cover, grown by them.
uint32_t FollowRecent(Parser* p, uint32_t k, uint32_t covered) {
    const BlockIndex* index = p->index;
    const unsigned char* here = p->buf + k;
    uint32_t ahead = p->length - k;
    for (int32_t r = 0; r < p->recentCount; ++r) {
        if (k < p->recentEnd[r]) {
            continue;
        }
        int64_t o = OldAt(p, k, p->recent[r]);
        if (o < 0 || o >= index->oldSize) {
            continue;
        }
        // A run of eight bytes or more that starts at or before the last
        // of the next eight bytes that differ would hold that byte: the
        // alignment is looked at again after it.
        if (p->minCopy >= 8 && ahead >= 8 && o + 8 <= index->oldSize) {
            int32_t last = LastDifferentByte(index->old + o, here);
            if (last >= 0) {
                p->recentEnd[r] = k + static_cast<uint32_t>(last) + 1;
                continue;
            }
        } else if (index->old[o] != here[0]) {
            continue;
        }
        uint32_t n = MatchForward(*index, static_cast<uint32_t>(o), here, ahead);
        p->recentEnd[r] = k + n;
        if (n >= static_cast<uint32_t>(p->minCopy)) {
            AddInterval(p, k, k + n, p->recent[r]);
            covered = k + n > covered ? k + n : covered;
        }
    }
    return covered;
}

// Candidate copies for the new bytes [from, to): runs that continue a recent
// alignment (small edits keep it), and at the positions not well covered yet
// the longest matches of the block index, extended both ways.
void Gather(Parser* p, uint32_t from, uint32_t to) {
    const BlockIndex* index = p->index;
    const uint32_t block = static_cast<uint32_t>(index->blockSize);
    // Runs carried over from the last segment (in window positions, which a
    // refill moves) cover the start of this one.
    uint32_t covered = from;
    for (const Interval& v : p->intervals) {
        covered = v.end > covered ? v.end : covered;
    }
    for (uint32_t k = from; k < to; ++k) {
        const unsigned char* here = p->buf + k;
        uint32_t ahead = p->length - k;
        covered = FollowRecent(p, k, covered);
        // Where copies are known, a search now and then near their end finds
        // the next one in time; elsewhere every position is searched.
        if (ahead < block ||
            (covered > k && (covered > k + kSearchMargin || (covered - k) % 8 != 0))) {
            continue;
        }
        uint32_t entry = index->heads[BlockBucket(here, index->bits)];
        uint32_t bestLength = 0;
        uint32_t bestBack = 0;
        uint32_t bestOld = 0;
        // Near the end of a known copy a few candidates do; a match this long
        // is taken without trying the rest.
        int32_t candidates = covered > k ? kDeltaCandidates / 8 : kDeltaCandidates;
        for (int32_t tries = 0; entry != 0 && tries < candidates && bestLength < kLongEnough;
             ++tries) {
            uint32_t o = (entry - 1) * static_cast<uint32_t>(index->step);
            entry = index->links[entry - 1];
            if (index->old[o] != here[0]) {
                continue;
            }
            uint32_t n = MatchForward(*index, o, here, ahead);
            if (n + k <= covered) {
                continue;
            }
            uint32_t back = 0;
            while (back < k - from && back < o &&
                   index->old[o - back - 1] == here[-1 - int64_t(back)]) {
                ++back;
            }
            if (n + back > bestLength + bestBack) {
                bestLength = n;
                bestBack = back;
                bestOld = o;
            }
        }
        // A new alignment must be long to be more than a chance match.
        if (bestLength + bestBack >= static_cast<uint32_t>(p->minCopy) &&
            bestLength + bestBack >= kNewAlignmentCopy) {
            int64_t delta = int64_t(bestOld) - (p->windowStart + k);
            AddInterval(p, k - bestBack, k + bestLength, delta);
            Remember(p, delta, k + bestLength);
            covered = k + bestLength > covered ? k + bestLength : covered;
        }
    }
}

uint32_t LzssHash(const unsigned char* b) {
    return ((uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2]) * 0x9E3779B1u) >>
           (32 - kLzssHashBits);
}

bool GoesOutLiteral(const Parser* p, uint32_t k) {
    if (k >= p->segmentFrom) {
        return k - p->segmentFrom < p->literalHere.size() && p->literalHere[k - p->segmentFrom];
    }
    return k >= p->previousFrom && k - p->previousFrom < p->literalBefore.size() &&
           p->literalBefore[k - p->previousFrom];
}

// Only literal bytes reach the SZDD stage's window.
void LzssEnter(Parser* p, uint32_t upTo) {
    if (p->length < kLzssMinMatch) {
        return;
    }
    upTo = upTo + kLzssMinMatch <= p->length ? upTo : p->length - (kLzssMinMatch - 1);
    for (uint32_t k = p->lzssEntered; k < upTo; ++k) {
        if (!GoesOutLiteral(p, k)) {
            continue;
        }
        uint32_t h = LzssHash(p->buf + k);
        p->lzssLinks[k % kLzssWindow] = p->lzssHeads[h];
        p->lzssHeads[h] = k + 1;
    }
    p->lzssEntered = upTo > p->lzssEntered ? upTo : p->lzssEntered;
}

// Longest earlier repeat of the new bytes at k that the SZDD stage could use.
uint32_t LzssMatch(Parser* p, uint32_t k) {
    if (k + kLzssMinMatch > p->length) {
        return 0;
    }
    uint32_t limit = p->length - k < kLzssMaxMatch ? p->length - k : kLzssMaxMatch;
    uint32_t best = 0;
    uint32_t entry = p->lzssHeads[LzssHash(p->buf + k)];
    uint32_t last = k;
    for (int32_t tries = 0; entry != 0 && tries < kLzssCandidates; ++tries) {
        uint32_t s = entry - 1;
        // Entries may be stale (overwritten links); positions only go back.
        if (s >= last || k - s > kLzssWindow) {
            break;
        }
        last = s;
        uint32_t n = 0;
        while (n < limit && p->buf[s + n] == p->buf[k + n] && GoesOutLiteral(p, s + n)) {
            ++n;
        }
        if (n > best) {
            best = n;
            if (n == limit) {
                break;
            }
        }
        entry = p->lzssLinks[s % kLzssWindow];
    }
    return best >= kLzssMinMatch ? best : 0;
}

// Repeats of literal bytes for the new bytes [from, to) (sorted candidates):
// the longest one at each position near and under short candidate copies;
// elsewhere they would not change the choice. Sources are bytes that go out
// as literals, within the SZDD stage's window.
void PriceLiterals(Parser* p, uint32_t from, uint32_t to) {
    uint32_t size = to - from;
    p->lzssLength.assign(size + 1, 0);
    p->segmentFrom = from;
    p->literalHere.assign(size, 1);
    for (const Interval& v : p->intervals) {
        uint32_t start = v.start < from ? from : v.start;
        for (uint32_t k = start; k < v.end && k < to; ++k) {
            p->literalHere[k - from] = 0;
        }
    }
    uint32_t done = from;
    for (const Interval& v : p->intervals) {
        uint32_t start = v.start < from + kLzssMaxMatch ? from : v.start - kLzssMaxMatch;
        uint32_t end = v.end < to ? v.end : to;
        if (v.end - v.start >= kPricedCopy || end <= done || start >= end) {
            continue;
        }
        uint32_t k = start > done ? start : done;
        uint32_t back = k > kLzssWindow ? k - kLzssWindow : 0;
        if (p->lzssEntered < back) {
            p->lzssEntered = back;
        }
        for (; k < end; ++k) {
            LzssEnter(p, k);
            uint32_t n = LzssMatch(p, k);
            p->lzssLength[k - from] = static_cast<unsigned char>(n < to - k ? n : to - k);
        }
        done = k;
    }
}

void EmitCopy(Parser* p, uint32_t start, uint32_t end, int64_t delta) {
    SinkLiteral(p->sink, p->buf + p->literal, start - p->literal);
    SinkCopy(p->sink, static_cast<uint32_t>(OldAt(p, start, delta)), end - start);
    p->literal = end;
}

// The same copy again, where the new bytes after one that ends at from + r
// repeat the old bytes it copied.
void RepeatLastCopy(Parser* p, uint32_t from, uint32_t r, uint32_t size) {
    uint32_t k = from + r;
    uint32_t start = p->copyStart[r];
    if (p->copyCost[r] >= kInfinity || start >= k || k - start > kPricedCopy) {
        return;
    }
    uint32_t length = k - start;
    int64_t o = OldAt(p, start, p->copyDelta[r]);
    if (r + length > size || o + length > p->index->oldSize ||
        std::memcmp(p->buf + k, p->index->old + o, length) != 0) {
        return;
    }
    int32_t cost = p->copyCost[r] + kRepeatCopyCost;
    if (cost < p->copyCost[r + length]) {
        p->copyCost[r + length] = cost;
        p->copyStart[r + length] = k;
        p->copyDelta[r + length] = o - (p->windowStart + k);
    }
}

// Cheapest chunks for the new bytes [from, to) over the candidates: a
// shortest path whose states are "last chunk a literal" (the next literal
// byte costs only itself) and "last chunk a copy" (a literal needs a head).
void ParseSegment(Parser* p, uint32_t from, uint32_t to) {
    uint32_t size = to - from;
    p->literalCost.assign(size + 1, kInfinity);
    p->copyCost.assign(size + 1, kInfinity);
    p->literalFromCopy.assign(size + 1, 0);
    p->viaMatch.assign(size + 1, kInfinity);
    p->matchFrom.assign(size + 1, 0);
    p->copyDelta.assign(size + 1, 0);
    p->copyStart.assign(size + 1, from); // no copy to repeat at from
    if (p->endsInLiteral) {
        p->literalCost[0] = 0;
    } else {
        p->copyCost[0] = 0;
    }
    std::vector<Interval>& list = p->intervals;
    std::sort(list.begin(), list.end(),
              [](const Interval& a, const Interval& b) { return a.start < b.start; });
    PriceLiterals(p, from, to);
    for (Interval& v : list) {
        v.start = v.start < from ? from : v.start;
        v.bestCost = kInfinity;
        // Going on with the copy just emitted adds no head.
        if (p->endsInCopy && v.start == from && v.delta == p->lastDelta) {
            v.bestCost = -kCopyHeadCost;
            v.bestStart = from;
        }
    }
    const uint32_t minCopy = static_cast<uint32_t>(p->minCopy);
    size_t next = 0;
    p->active.clear();
    for (uint32_t r = 0; r <= size; ++r) {
        uint32_t k = from + r;
        if (r > 0) {
            // A byte that repeats the three before it costs LZSS next to nothing.
            const unsigned char* b = p->buf + k - 1;
            int32_t byteCost = k >= 4 && b[0] == b[-1] && b[0] == b[-2] && b[0] == b[-3]
                                   ? kRunByteCost
                                   : kLiteralByteCost;
            int32_t viaLiteral = p->literalCost[r - 1] + byteCost;
            int32_t viaCopy = p->copyCost[r - 1] + byteCost + kLiteralHeadCost;
            p->literalCost[r] = viaLiteral <= viaCopy ? viaLiteral : viaCopy;
            p->literalFromCopy[r] = viaLiteral <= viaCopy ? 0 : 1;
            if (p->viaMatch[r] < p->literalCost[r]) {
                p->literalCost[r] = p->viaMatch[r];
                p->literalFromCopy[r] = 2;
            }
        }
        while (next < list.size() && list[next].start <= k) {
            p->active.push_back(static_cast<int32_t>(next++));
        }
        size_t kept = 0;
        for (size_t a = 0; a < p->active.size(); ++a) {
            Interval& v = list[static_cast<size_t>(p->active[a])];
            // A copy may start minCopy bytes back at the latest.
            if (k >= v.start + minCopy) {
                uint32_t j = k - minCopy - from;
                int32_t c = p->literalCost[j] < p->copyCost[j] ? p->literalCost[j] : p->copyCost[j];
                if (c < v.bestCost) {
                    v.bestCost = c;
                    v.bestStart = from + j;
                }
            }
            if (v.bestCost < kInfinity && v.bestCost + kCopyHeadCost < p->copyCost[r]) {
                p->copyCost[r] = v.bestCost + kCopyHeadCost;
                p->copyDelta[r] = v.delta;
                p->copyStart[r] = v.bestStart;
            }
            if (v.end > k) {
                p->active[kept++] = p->active[a];
            }
        }
        p->active.resize(kept);
        RepeatLastCopy(p, from, r, size);
        // Literal bytes that repeat recent literal bytes: one LZSS match.
        uint32_t n = p->lzssLength[r];
        if (n != 0) {
            int32_t viaCopy = p->copyCost[r] + kLiteralHeadCost;
            int32_t c =
                (p->literalCost[r] < viaCopy ? p->literalCost[r] : viaCopy) + kLzssMatchCost;
            for (uint32_t m = kLzssMinMatch; m <= n; ++m) {
                if (c < p->viaMatch[r + m]) {
                    p->viaMatch[r + m] = c;
                    p->matchFrom[r + m] = r;
                }
            }
        }
    }
    // Walk back from the cheaper end state, then emit forwards.
    std::vector<Interval> copies;
    bool inCopy = p->copyCost[size] < p->literalCost[size];
    uint32_t r = size;
    while (r > 0) {
        if (inCopy) {
            uint32_t j = p->copyStart[r] - from;
            copies.push_back(Interval{from + j, from + r, p->copyDelta[r], 0, 0});
            r = j;
            inCopy = p->copyCost[r] <= p->literalCost[r];
            if (r == 0) {
                break;
            }
        } else if (p->literalFromCopy[r] == 2) {
            uint32_t j = p->matchFrom[r];
            inCopy = p->copyCost[j] + kLiteralHeadCost < p->literalCost[j];
            r = j;
        } else {
            inCopy = p->literalFromCopy[r] != 0;
            --r;
        }
    }
    p->previousFrom = from;
    p->literalBefore.assign(size, 1);
    for (size_t c = copies.size(); c-- > 0;) {
        EmitCopy(p, copies[c].start, copies[c].end, copies[c].delta);
        std::fill(p->literalBefore.begin() + (copies[c].start - from),
                  p->literalBefore.begin() + (copies[c].end - from), 0);
    }
    if (!copies.empty() && copies[0].end == to) {
        p->endsInCopy = true;
        p->endsInLiteral = false;
        p->lastDelta = copies[0].delta;
    } else if (p->literal < to) {
        p->endsInLiteral = true;
        p->endsInCopy = false;
    }
    // Runs that reach into the next segment go on there, in their order.
    size_t kept = 0;
    for (const Interval& v : list) {
        if (v.end > to) {
            list[kept++] = Interval{to, v.end, v.delta, kInfinity, 0};
        }
    }
    list.resize(kept);
}

} // namespace

bool EncodeDelta(const BlockIndex* index, FILE* newFile, ChunkSink* sink, int32_t minCopy,
                 DeltaProgress progress, void* context) {
    // Left uninitialised: only the bytes read are looked at, and a small file
    // should not pay for clearing the whole window.
    std::unique_ptr<unsigned char[]> window(new unsigned char[kDeltaWindow]);
    Parser* p = new Parser;
    p->index = index;
    p->sink = sink;
    // Against a large old file short matches are more often chance ones, and
    // their offsets cost more after SZDD than the literals they replace.
    if (minCopy <= 0) {
        minCopy = index->oldSize > kDeltaLargeOld ? 16 : 8;
    }
    p->minCopy = minCopy;
    p->buf = window.get();
    p->length = 0;
    p->windowStart = 0;
    p->literal = 0;
    p->endsInLiteral = false;
    p->endsInCopy = false;
    p->lastDelta = 0;
    p->recentCount = 0;
    p->lzssHeads.assign(size_t(1) << kLzssHashBits, 0);
    p->lzssLinks.assign(kLzssWindow, 0);
    p->lzssEntered = 0;
    p->segmentFrom = 0;
    p->previousFrom = 0;
    uint32_t pos = 0; // next byte to parse
    bool atEnd = false;
    bool readError = false;
    for (;;) {
        if (!atEnd && p->length - pos < static_cast<uint32_t>(kDeltaLookahead)) {
            SinkLiteral(sink, p->buf + p->literal, pos - p->literal);
            std::memmove(p->buf, p->buf + pos, p->length - pos);
            // Alignments are between file offsets; only window positions move.
            for (Interval& v : p->intervals) {
                v.start -= pos;
                v.end -= pos;
            }
            for (int32_t r = 0; r < p->recentCount; ++r) {
                p->recentEnd[r] = p->recentEnd[r] > pos ? p->recentEnd[r] - pos : 0;
            }
            std::fill(p->lzssHeads.begin(), p->lzssHeads.end(), 0);
            p->lzssEntered = 0;
            p->literalBefore.clear();
            p->windowStart += pos;
            p->length -= pos;
            p->literal = 0;
            pos = 0;
            size_t got = std::fread(p->buf + p->length, 1, kDeltaWindow - p->length, newFile);
            p->length += static_cast<uint32_t>(got);
            if (got == 0) {
                atEnd = true;
                readError = std::ferror(newFile) != 0;
            }
            if (progress != nullptr) {
                progress(p->windowStart + p->length, context);
            }
            continue;
        }
        if (pos == p->length) {
            break;
        }
        uint32_t to =
            p->length - pos < static_cast<uint32_t>(kSegment) ? p->length : pos + kSegment;
        if (index->oldSize > 0) {
            Gather(p, pos, to);
            ParseSegment(p, pos, to);
        }
        pos = to;
    }
    SinkLiteral(sink, p->buf + p->literal, p->length - p->literal);
    delete p;
    bool ok = SinkFinish(sink);
    return ok && !readError;
}
