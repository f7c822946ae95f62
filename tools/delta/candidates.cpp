#include "tools/delta/candidates.h"

#include <cstring>

#include "tools/delta/delta.h"

namespace deltaengine {
namespace {

constexpr int32_t kSearchMargin = 32;
constexpr uint32_t kLongEnough = 1024;
constexpr uint32_t kNewAlignmentCopy = 16; // search again this close to the end of the known copies

void AddInterval(std::vector<Interval>* runs, uint32_t start, uint32_t end, int64_t delta) {
    // Overlapping runs of one alignment are one run.
    size_t look = runs->size() < 8 ? runs->size() : 8;
    for (size_t i = runs->size() - look; i < runs->size(); ++i) {
        Interval& v = (*runs)[i];
        if (v.delta == delta && start <= v.end && v.start <= end) {
            v.start = start < v.start ? start : v.start;
            v.end = end > v.end ? end : v.end;
            return;
        }
    }
    runs->push_back(Interval{start, end, delta});
}

void Remember(RecentAlignments* recent, int64_t delta, uint32_t end) {
    int32_t slot = 0;
    while (slot < recent->count && recent->delta[slot] != delta) {
        ++slot;
    }
    if (slot == recent->count) {
        slot = recent->count < kRecentAlignments ? recent->count++ : kRecentAlignments - 1;
    }
    for (; slot > 0; --slot) {
        recent->delta[slot] = recent->delta[slot - 1];
        recent->end[slot] = recent->end[slot - 1];
    }
    recent->delta[0] = delta;
    recent->end[0] = end;
}

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

// Runs from k on of the recent alignments that are due to be looked at (small
// edits keep an alignment); returns what the known copies cover, grown by them.
uint32_t FollowRecent(const BlockIndex& index, const Window& window, int32_t minCopy,
                      std::vector<Interval>* runs, RecentAlignments* recent, uint32_t k,
                      uint32_t covered) {
    const unsigned char* here = window.bytes + k;
    uint32_t ahead = window.length - k;
    for (int32_t r = 0; r < recent->count; ++r) {
        if (k < recent->end[r]) {
            continue;
        }
        int64_t o = OldAt(window, k, recent->delta[r]);
        if (o < 0 || o >= index.oldSize) {
            continue;
        }
        // A run of eight bytes or more that starts at or before the last
        // of the next eight bytes that differ would hold that byte: the
        // alignment is looked at again after it.
        if (minCopy >= 8 && ahead >= 8 && o + 8 <= index.oldSize) {
            int32_t last = LastDifferentByte(index.old + o, here);
            if (last >= 0) {
                recent->end[r] = k + static_cast<uint32_t>(last) + 1;
                continue;
            }
        } else if (index.old[o] != here[0]) {
            continue;
        }
        uint32_t n = MatchForward(index, static_cast<uint32_t>(o), here, ahead);
        recent->end[r] = k + n;
        if (n >= static_cast<uint32_t>(minCopy)) {
            AddInterval(runs, k, k + n, recent->delta[r]);
            covered = k + n > covered ? k + n : covered;
        }
    }
    return covered;
}

} // namespace

void Gather(const BlockIndex& index, const Window& window, int32_t minCopy,
            std::vector<Interval>* runs, RecentAlignments* recent, uint32_t from, uint32_t to) {
    const uint32_t block = static_cast<uint32_t>(index.blockSize);
    // Runs carried over from the last segment (in window positions, which a
    // refill moves) cover the start of this one.
    uint32_t covered = from;
    for (const Interval& v : *runs) {
        covered = v.end > covered ? v.end : covered;
    }
    for (uint32_t k = from; k < to; ++k) {
        const unsigned char* here = window.bytes + k;
        uint32_t ahead = window.length - k;
        covered = FollowRecent(index, window, minCopy, runs, recent, k, covered);
        // Where copies are known, a search now and then near their end finds
        // the next one in time; elsewhere every position is searched.
        if (ahead < block ||
            (covered > k && (covered > k + kSearchMargin || (covered - k) % 8 != 0))) {
            continue;
        }
        uint32_t entry = index.heads[BlockBucket(here, index.bits)];
        uint32_t bestLength = 0;
        uint32_t bestBack = 0;
        uint32_t bestOld = 0;
        // Near the end of a known copy a few candidates do; a match this long
        // is taken without trying the rest.
        int32_t candidates = covered > k ? kDeltaCandidates / 8 : kDeltaCandidates;
        for (int32_t tries = 0; entry != 0 && tries < candidates && bestLength < kLongEnough;
             ++tries) {
            uint32_t o = (entry - 1) * static_cast<uint32_t>(index.step);
            entry = index.links[entry - 1];
            if (index.old[o] != here[0]) {
                continue;
            }
            uint32_t n = MatchForward(index, o, here, ahead);
            if (n + k <= covered) {
                continue;
            }
            uint32_t back = 0;
            while (back < k - from && back < o &&
                   index.old[o - back - 1] == here[-1 - int64_t(back)]) {
                ++back;
            }
            if (n + back > bestLength + bestBack) {
                bestLength = n;
                bestBack = back;
                bestOld = o;
            }
        }
        // A new alignment must be long to be more than a chance match.
        if (bestLength + bestBack >= static_cast<uint32_t>(minCopy) &&
            bestLength + bestBack >= kNewAlignmentCopy) {
            int64_t delta = int64_t(bestOld) - (window.start + k);
            AddInterval(runs, k - bestBack, k + bestLength, delta);
            Remember(recent, delta, k + bestLength);
            covered = k + bestLength > covered ? k + bestLength : covered;
        }
    }
}

void ShiftCandidates(std::vector<Interval>* runs, RecentAlignments* recent, uint32_t shift) {
    // Alignments are between file offsets; only window positions move.
    for (Interval& v : *runs) {
        v.start -= shift;
        v.end -= shift;
    }
    for (int32_t r = 0; r < recent->count; ++r) {
        recent->end[r] = recent->end[r] > shift ? recent->end[r] - shift : 0;
    }
}

void CarryOver(std::vector<Interval>* runs, uint32_t to) {
    size_t kept = 0;
    for (const Interval& v : *runs) {
        if (v.end > to) {
            (*runs)[kept++] = Interval{to, v.end, v.delta};
        }
    }
    runs->resize(kept);
}

} // namespace deltaengine
