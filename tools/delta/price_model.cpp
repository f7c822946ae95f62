#include "tools/delta/price_model.h"

#include <algorithm>

namespace deltaengine {
namespace {

constexpr int32_t kLzssCandidates = 8;

uint32_t LzssHash(const unsigned char* b) {
    return ((uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2]) * 0x9E3779B1u) >>
           (32 - kLzssHashBits);
}

bool GoesOutLiteral(const PriceModel& model, uint32_t k) {
    if (k >= model.segmentFrom) {
        return k - model.segmentFrom < model.literalHere.size() &&
               model.literalHere[k - model.segmentFrom];
    }
    return k >= model.previousFrom && k - model.previousFrom < model.literalBefore.size() &&
           model.literalBefore[k - model.previousFrom];
}

// Only literal bytes reach the SZDD stage's window.
void LzssEnter(PriceModel* model, const Window& window, uint32_t upTo) {
    if (window.length < kLzssMinMatch) {
        return;
    }
    upTo = upTo + kLzssMinMatch <= window.length ? upTo : window.length - (kLzssMinMatch - 1);
    for (uint32_t k = model->lzssEntered; k < upTo; ++k) {
        if (!GoesOutLiteral(*model, k)) {
            continue;
        }
        uint32_t h = LzssHash(window.bytes + k);
        model->lzssLinks[k % kLzssWindow] = model->lzssHeads[h];
        model->lzssHeads[h] = k + 1;
    }
    model->lzssEntered = upTo > model->lzssEntered ? upTo : model->lzssEntered;
}

// Longest earlier repeat of the new bytes at k that the SZDD stage could use.
uint32_t LzssMatch(const PriceModel& model, const Window& window, uint32_t k) {
    if (k + kLzssMinMatch > window.length) {
        return 0;
    }
    const unsigned char* buf = window.bytes;
    uint32_t limit = window.length - k < kLzssMaxMatch ? window.length - k : kLzssMaxMatch;
    uint32_t best = 0;
    uint32_t entry = model.lzssHeads[LzssHash(buf + k)];
    uint32_t last = k;
    for (int32_t tries = 0; entry != 0 && tries < kLzssCandidates; ++tries) {
        uint32_t s = entry - 1;
        // Entries may be stale (overwritten links); positions only go back.
        if (s >= last || k - s > kLzssWindow) {
            break;
        }
        last = s;
        uint32_t n = 0;
        while (n < limit && buf[s + n] == buf[k + n] && GoesOutLiteral(model, s + n)) {
            ++n;
        }
        if (n > best) {
            best = n;
            if (n == limit) {
                break;
            }
        }
        entry = model.lzssLinks[s % kLzssWindow];
    }
    return best >= kLzssMinMatch ? best : 0;
}

} // namespace

void PriceLiterals(PriceModel* model, const Window& window, const std::vector<Interval>& runs,
                   uint32_t from, uint32_t to) {
    uint32_t size = to - from;
    model->lzssLength.assign(size + 1, 0);
    model->segmentFrom = from;
    model->literalHere.assign(size, 1);
    for (const Interval& v : runs) {
        uint32_t start = v.start < from ? from : v.start;
        for (uint32_t k = start; k < v.end && k < to; ++k) {
            model->literalHere[k - from] = 0;
        }
    }
    uint32_t done = from;
    for (const Interval& v : runs) {
        uint32_t start = v.start < from + kLzssMaxMatch ? from : v.start - kLzssMaxMatch;
        uint32_t end = v.end < to ? v.end : to;
        if (v.end - v.start >= kPricedCopy || end <= done || start >= end) {
            continue;
        }
        uint32_t k = start > done ? start : done;
        uint32_t back = k > kLzssWindow ? k - kLzssWindow : 0;
        if (model->lzssEntered < back) {
            model->lzssEntered = back;
        }
        for (; k < end; ++k) {
            LzssEnter(model, window, k);
            uint32_t n = LzssMatch(*model, window, k);
            model->lzssLength[k - from] = static_cast<unsigned char>(n < to - k ? n : to - k);
        }
        done = k;
    }
}

void NoteEmitted(PriceModel* model, uint32_t from, uint32_t size,
                 const std::vector<Interval>& copies) {
    model->previousFrom = from;
    model->literalBefore.assign(size, 1);
    for (const Interval& c : copies) {
        std::fill(model->literalBefore.begin() + (c.start - from),
                  model->literalBefore.begin() + (c.end - from), 0);
    }
}

void ForgetWindow(PriceModel* model) {
    std::fill(model->lzssHeads.begin(), model->lzssHeads.end(), 0);
    model->lzssEntered = 0;
    model->literalBefore.clear();
}

} // namespace deltaengine
