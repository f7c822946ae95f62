// The parse: the cheapest chunks for a segment of new bytes over its
// candidate copies, written to the sink.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/delta/block_index.h"
#include "tools/delta/candidates.h"
#include "tools/delta/chunk_sink.h"
#include "tools/delta/price_model.h"
#include "tools/delta/window.h"

namespace deltaengine {

// Where the chunks written so far leave off.
struct Emitted {
    uint32_t literal = 0; // window position of the first byte not yet written
    bool endsInLiteral = false;
    bool endsInCopy = false;
    int64_t lastDelta = 0; // alignment of the last copy, when endsInCopy
};

// One segment's shortest path, by position from its start; kept from one
// segment to the next for its memory.
struct SegmentCosts {
    std::vector<int32_t> literalCost; // last item a literal
    std::vector<int32_t> copyCost;    // last item a copy (or nothing)
    std::vector<unsigned char> literalFromCopy;
    std::vector<int64_t> copyDelta;
    std::vector<uint32_t> copyStart;
    // Cheapest literal state reached by one repeat of earlier literal bytes.
    std::vector<int32_t> viaMatch;
    std::vector<uint32_t> matchFrom;
    // By candidate: the cheapest state a copy of it may start from so far.
    std::vector<int32_t> bestCost;
    std::vector<uint32_t> bestStart;
    std::vector<int32_t> active; // candidates that reach the position
};

// Writes the cheapest chunks for the new bytes [from, to) over runs (the
// candidates, sorted here) after the SZDD stage, as the price model has it.
// Runs that reach past to are kept for the next segment.
void ParseSegment(const BlockIndex& index, const Window& window, int32_t minCopy,
                  std::vector<Interval>* runs, PriceModel* prices, SegmentCosts* costs,
                  Emitted* emitted, ChunkSink* sink, uint32_t from, uint32_t to);

} // namespace deltaengine
