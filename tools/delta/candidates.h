// Candidate copies for a segment of new bytes: runs that go on in an
// alignment seen recently, and the block index's longest matches elsewhere.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/delta/block_index.h"
#include "tools/delta/window.h"

namespace deltaengine {

constexpr int32_t kRecentAlignments = 8;

// A run of new bytes [start, end) (window positions) equal to the old bytes
// at position + delta.
struct Interval {
    uint32_t start;
    uint32_t end;
    int64_t delta;
};

// The alignments of the latest new matches, most recent first, each with the
// window position from which it is looked at again.
struct RecentAlignments {
    int64_t delta[kRecentAlignments];
    uint32_t end[kRecentAlignments];
    int32_t count = 0;
};

// Adds to runs the candidates for the new bytes [from, to): runs that
// continue a recent alignment (small edits keep it), and at the positions
// not well covered yet the longest matches of the block index, extended both
// ways. Runs already in the list (carried over) count as covering.
void Gather(const BlockIndex& index, const Window& window, int32_t minCopy,
            std::vector<Interval>* runs, RecentAlignments* recent, uint32_t from, uint32_t to);

// Window positions after the window dropped its first shift bytes.
void ShiftCandidates(std::vector<Interval>* runs, RecentAlignments* recent, uint32_t shift);

// Keeps, in their order, the runs that reach past to, cut to start there.
void CarryOver(std::vector<Interval>* runs, uint32_t to);

} // namespace deltaengine
