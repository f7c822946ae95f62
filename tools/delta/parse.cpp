#include "tools/delta/parse.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace deltaengine {
namespace {

constexpr int32_t kInfinity = INT32_MAX / 2;

// Costs of the empty path from the state the last segment ended in, and the
// candidates' starting states: going on with the copy just emitted adds no
// head.
void StartCosts(SegmentCosts* c, std::vector<Interval>* runs, const Emitted& emitted, uint32_t from,
                uint32_t size) {
    c->literalCost.assign(size + 1, kInfinity);
    c->copyCost.assign(size + 1, kInfinity);
    c->literalFromCopy.assign(size + 1, 0);
    c->viaMatch.assign(size + 1, kInfinity);
    c->matchFrom.assign(size + 1, 0);
    c->copyDelta.assign(size + 1, 0);
    c->copyStart.assign(size + 1, from); // no copy to repeat at from
    if (emitted.endsInLiteral) {
        c->literalCost[0] = 0;
    } else {
        c->copyCost[0] = 0;
    }
    c->bestCost.assign(runs->size(), kInfinity);
    c->bestStart.assign(runs->size(), 0);
    for (size_t i = 0; i < runs->size(); ++i) {
        Interval& v = (*runs)[i];
        v.start = v.start < from ? from : v.start;
        if (emitted.endsInCopy && v.start == from && v.delta == emitted.lastDelta) {
            c->bestCost[i] = -kCopyHeadCost;
            c->bestStart[i] = from;
        }
    }
    c->active.clear();
}

// The new byte before from + r as a literal, after a literal or a copy, or
// as the end of a repeat of earlier literal bytes.
void ReachByLiteral(SegmentCosts* c, const Window& window, uint32_t from, uint32_t r) {
    int32_t byteCost = LiteralByteCost(window, from + r - 1);
    int32_t viaLiteral = c->literalCost[r - 1] + byteCost;
    int32_t viaCopy = c->copyCost[r - 1] + byteCost + kLiteralHeadCost;
    c->literalCost[r] = viaLiteral <= viaCopy ? viaLiteral : viaCopy;
    c->literalFromCopy[r] = viaLiteral <= viaCopy ? 0 : 1;
    if (c->viaMatch[r] < c->literalCost[r]) {
        c->literalCost[r] = c->viaMatch[r];
        c->literalFromCopy[r] = 2;
    }
}

// Copies of the candidates that reach from + r, each from the cheapest
// state at least minCopy bytes back in it. next: the first candidate not yet
// active (candidates by start).
void ReachByCopies(SegmentCosts* c, const std::vector<Interval>& runs, uint32_t minCopy,
                   uint32_t from, uint32_t r, size_t* next) {
    uint32_t k = from + r;
    while (*next < runs.size() && runs[*next].start <= k) {
        c->active.push_back(static_cast<int32_t>((*next)++));
    }
    size_t kept = 0;
    for (size_t a = 0; a < c->active.size(); ++a) {
        size_t i = static_cast<size_t>(c->active[a]);
        const Interval& v = runs[i];
        // A copy may start minCopy bytes back at the latest.
        if (k >= v.start + minCopy) {
            uint32_t j = k - minCopy - from;
            int32_t cost = c->literalCost[j] < c->copyCost[j] ? c->literalCost[j] : c->copyCost[j];
            if (cost < c->bestCost[i]) {
                c->bestCost[i] = cost;
                c->bestStart[i] = from + j;
            }
        }
        if (c->bestCost[i] < kInfinity && c->bestCost[i] + kCopyHeadCost < c->copyCost[r]) {
            c->copyCost[r] = c->bestCost[i] + kCopyHeadCost;
            c->copyDelta[r] = v.delta;
            c->copyStart[r] = c->bestStart[i];
        }
        if (v.end > k) {
            c->active[kept++] = c->active[a];
        }
    }
    c->active.resize(kept);
}

// The same copy again, where the new bytes after one that ends at from + r
// repeat the old bytes it copied.
void RepeatLastCopy(SegmentCosts* c, const BlockIndex& index, const Window& window, uint32_t from,
                    uint32_t r, uint32_t size) {
    uint32_t k = from + r;
    uint32_t start = c->copyStart[r];
    if (c->copyCost[r] >= kInfinity || start >= k || k - start > kPricedCopy) {
        return;
    }
    uint32_t length = k - start;
    int64_t o = OldAt(window, start, c->copyDelta[r]);
    if (r + length > size || o + length > index.oldSize ||
        std::memcmp(window.bytes + k, index.old + o, length) != 0) {
        return;
    }
    int32_t cost = c->copyCost[r] + kRepeatCopyCost;
    if (cost < c->copyCost[r + length]) {
        c->copyCost[r + length] = cost;
        c->copyStart[r + length] = k;
        c->copyDelta[r + length] = o - (window.start + k);
    }
}

// Literal bytes from r on that repeat recent literal bytes: one LZSS match.
void OfferRepeat(SegmentCosts* c, uint32_t r, uint32_t n) {
    if (n == 0) {
        return;
    }
    int32_t viaCopy = c->copyCost[r] + kLiteralHeadCost;
    int32_t cost = (c->literalCost[r] < viaCopy ? c->literalCost[r] : viaCopy) + kLzssMatchCost;
    for (uint32_t m = kLzssMinMatch; m <= n; ++m) {
        if (cost < c->viaMatch[r + m]) {
            c->viaMatch[r + m] = cost;
            c->matchFrom[r + m] = r;
        }
    }
}

// Walks back from the cheaper end state: the copies of the cheapest path, in
// order.
std::vector<Interval> CheapestCopies(const SegmentCosts& c, uint32_t from, uint32_t size) {
    std::vector<Interval> copies;
    bool inCopy = c.copyCost[size] < c.literalCost[size];
    uint32_t r = size;
    while (r > 0) {
        if (inCopy) {
            uint32_t j = c.copyStart[r] - from;
            copies.push_back(Interval{from + j, from + r, c.copyDelta[r]});
            r = j;
            inCopy = c.copyCost[r] <= c.literalCost[r];
            if (r == 0) {
                break;
            }
        } else if (c.literalFromCopy[r] == 2) {
            uint32_t j = c.matchFrom[r];
            inCopy = c.copyCost[j] + kLiteralHeadCost < c.literalCost[j];
            r = j;
        } else {
            inCopy = c.literalFromCopy[r] != 0;
            --r;
        }
    }
    std::reverse(copies.begin(), copies.end());
    return copies;
}

void EmitCopy(const Window& window, Emitted* emitted, ChunkSink* sink, const Interval& copy) {
    SinkLiteral(sink, window.bytes + emitted->literal, copy.start - emitted->literal);
    SinkCopy(sink, static_cast<uint32_t>(OldAt(window, copy.start, copy.delta)),
             copy.end - copy.start);
    emitted->literal = copy.end;
}

} // namespace

// A shortest path whose states are "last chunk a literal" (the next literal
// byte costs only itself) and "last chunk a copy" (a literal needs a head).
void ParseSegment(const BlockIndex& index, const Window& window, int32_t minCopy,
                  std::vector<Interval>* runs, PriceModel* prices, SegmentCosts* costs,
                  Emitted* emitted, ChunkSink* sink, uint32_t from, uint32_t to) {
    uint32_t size = to - from;
    std::sort(runs->begin(), runs->end(),
              [](const Interval& a, const Interval& b) { return a.start < b.start; });
    PriceLiterals(prices, window, *runs, from, to);
    StartCosts(costs, runs, *emitted, from, size);
    size_t next = 0;
    for (uint32_t r = 0; r <= size; ++r) {
        if (r > 0) {
            ReachByLiteral(costs, window, from, r);
        }
        ReachByCopies(costs, *runs, static_cast<uint32_t>(minCopy), from, r, &next);
        RepeatLastCopy(costs, index, window, from, r, size);
        OfferRepeat(costs, r, prices->lzssLength[r]);
    }
    std::vector<Interval> copies = CheapestCopies(*costs, from, size);
    for (const Interval& copy : copies) {
        EmitCopy(window, emitted, sink, copy);
    }
    NoteEmitted(prices, from, size, copies);
    if (!copies.empty() && copies.back().end == to) {
        emitted->endsInCopy = true;
        emitted->endsInLiteral = false;
        emitted->lastDelta = copies.back().delta;
    } else if (emitted->literal < to) {
        emitted->endsInLiteral = true;
        emitted->endsInCopy = false;
    }
    // Runs that reach into the next segment go on there, in their order.
    CarryOver(runs, to);
}

} // namespace deltaengine
