#include "tools/delta/delta.h"

#include <cstring>
#include <memory>
#include <vector>

#include "tools/delta/candidates.h"
#include "tools/delta/parse.h"
#include "tools/delta/price_model.h"
#include "tools/delta/window.h"

namespace {

using namespace deltaengine;

constexpr int32_t kSegment = 1 << 16; // new bytes parsed together

// Drops the window's first consumed bytes and reads on behind the rest;
// returns the bytes read.
size_t Refill(Window* window, uint32_t consumed, FILE* newFile) {
    std::memmove(window->bytes, window->bytes + consumed, window->length - consumed);
    window->start += consumed;
    window->length -= consumed;
    size_t got =
        std::fread(window->bytes + window->length, 1, kDeltaWindow - window->length, newFile);
    window->length += static_cast<uint32_t>(got);
    return got;
}

} // namespace

bool EncodeDelta(const BlockIndex* index, FILE* newFile, ChunkSink* sink, int32_t minCopy,
                 DeltaProgress progress, void* context) {
    // Left uninitialised: only the bytes read are looked at, and a small file
    // should not pay for clearing the whole window.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kDeltaWindow]);
    Window window{buffer.get(), 0, 0};
    // Against a large old file short matches are more often chance ones, and
    // their offsets cost more after SZDD than the literals they replace.
    if (minCopy <= 0) {
        minCopy = index->oldSize > kDeltaLargeOld ? 16 : 8;
    }
    std::vector<Interval> runs; // candidates, by start
    RecentAlignments recent;
    PriceModel prices;
    SegmentCosts costs;
    Emitted emitted;
    uint32_t pos = 0; // next byte to parse
    bool atEnd = false;
    bool readError = false;
    for (;;) {
        if (!atEnd && window.length - pos < static_cast<uint32_t>(kDeltaLookahead)) {
            SinkLiteral(sink, window.bytes + emitted.literal, pos - emitted.literal);
            ShiftCandidates(&runs, &recent, pos);
            ForgetWindow(&prices);
            emitted.literal = 0;
            size_t got = Refill(&window, pos, newFile);
            pos = 0;
            if (got == 0) {
                atEnd = true;
                readError = std::ferror(newFile) != 0;
            }
            if (progress != nullptr) {
                progress(window.start + window.length, context);
            }
            continue;
        }
        if (pos == window.length) {
            break;
        }
        uint32_t to =
            window.length - pos < static_cast<uint32_t>(kSegment) ? window.length : pos + kSegment;
        if (index->oldSize > 0) {
            Gather(*index, window, minCopy, &runs, &recent, pos, to);
            ParseSegment(*index, window, minCopy, &runs, &prices, &costs, &emitted, sink, pos, to);
        }
        pos = to;
    }
    SinkLiteral(sink, window.bytes + emitted.literal, window.length - emitted.literal);
    bool ok = SinkFinish(sink);
    return ok && !readError;
}
