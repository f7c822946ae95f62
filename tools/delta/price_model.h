// What the chunks cost once the SZDD stage has compressed the archive: fixed
// prices for literal bytes and chunk heads, and the repeats of earlier
// literal bytes the stage's LZSS would find.
//
// Costs are in 128ths of a byte, as the chunks come out of the SZDD stage on
// typical archives: a literal byte is a 9-bit LZSS literal; 3 to 18 literal
// bytes that repeat literal bytes shortly before are one 17-bit match (priced
// a bit above, since the repeats are guessed before the literals are known); a
// literal chunk's head (type 1, a short length, zeros) mostly matches earlier
// heads; a copy head's zeros match too, its length and offset bytes mostly do
// not.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/delta/candidates.h"
#include "tools/delta/window.h"

namespace deltaengine {

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
// Bytes inside copies at least this long keep the plain literal price: the
// copy wins whatever they would cost.
constexpr uint32_t kPricedCopy = 256;

struct PriceModel {
    // Longest repeat the SZDD stage would find at each position of the
    // segment priced last, by position from its start.
    std::vector<unsigned char> lzssLength;
    // Recent new-file positions by the hash of their first three bytes, as
    // the SZDD stage would find them: heads hold position + 1, links are by
    // position modulo the window.
    std::vector<uint32_t> lzssHeads = std::vector<uint32_t>(size_t(1) << kLzssHashBits, 0);
    std::vector<uint32_t> lzssLinks = std::vector<uint32_t>(kLzssWindow, 0);
    uint32_t lzssEntered = 0; // positions below are entered
    // Which new bytes go out as literals: this segment's by guess (those
    // outside every candidate copy), the one before by what was emitted.
    uint32_t segmentFrom = 0;
    std::vector<unsigned char> literalHere;
    uint32_t previousFrom = 0;
    std::vector<unsigned char> literalBefore;
};

// Price of the new byte at k as a literal: one that repeats the three before
// it costs LZSS next to nothing.
inline int32_t LiteralByteCost(const Window& window, uint32_t k) {
    const unsigned char* b = window.bytes + k;
    return k >= 3 && b[0] == b[-1] && b[0] == b[-2] && b[0] == b[-3] ? kRunByteCost
                                                                     : kLiteralByteCost;
}

// Fills lzssLength for the new bytes [from, to) (runs: the candidates, by
// start): the longest repeat at each position near and under short candidate
// copies; elsewhere they would not change the choice. Sources are bytes that
// go out as literals, within the SZDD stage's window.
void PriceLiterals(PriceModel* model, const Window& window, const std::vector<Interval>& runs,
                   uint32_t from, uint32_t to);

// The segment [from, from + size) went out as copies (in order) and literals.
void NoteEmitted(PriceModel* model, uint32_t from, uint32_t size,
                 const std::vector<Interval>& copies);

// The window moved: what was entered by position no longer holds.
void ForgetWindow(PriceModel* model);

} // namespace deltaengine
