#include "payload/szdd_writer.h"

#include <cstring>

#include "fileutil/platform.h"
#include "payload/szdd.h"

namespace {

constexpr uint32_t kPrefix = kSzddWindowSize; // virtual position of the first input byte
constexpr uint32_t kLiteralBits = 9;
constexpr uint32_t kMatchBits = 17;

unsigned char* At(SzddWriter* w, uint32_t position) {
    return &w->buffer[position - w->base];
}

uint32_t HashAt(const unsigned char* p) {
    uint32_t v = p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - 16);
}

uint32_t* Less(SzddWriter* w, uint32_t position) {
    return &w->less[position & (kSzddTreeRing - 1)];
}

uint32_t* More(SzddWriter* w, uint32_t position) {
    return &w->more[position & (kSzddTreeRing - 1)];
}

// Puts position at the root of its hash's tree, splitting the old tree into
// the strings below and above its own (compared over at most limit bytes),
// and returns the longest match met on the way: the longest in the window,
// since a string's closest neighbours in sorted order lie on that path.
// Parents are always newer than their children, so the first node beyond
// the window ends the walk.
int InsertAndMatch(SzddWriter* w, uint32_t position, int limit, uint32_t* source) {
    const unsigned char* here = At(w, position);
    uint32_t* root = &w->head[HashAt(here)];
    uint32_t node = *root;
    *root = position;
    uint32_t* lessSlot = Less(w, position); // where the next smaller node goes
    uint32_t* moreSlot = More(w, position);
    int lessLength = 0; // bytes every node below lessSlot shares with here
    int moreLength = 0;
    int best = 0;
    while (node != 0 && position - node <= static_cast<uint32_t>(kSzddMaxDistance)) {
        const unsigned char* there = At(w, node);
        int n = lessLength < moreLength ? lessLength : moreLength;
        while (n < limit && there[n] == here[n]) {
            ++n;
        }
        if (n > best) {
            best = n;
            *source = node;
        }
        if (n == limit) {
            // The same string, older: position takes its place.
            *lessSlot = *Less(w, node);
            *moreSlot = *More(w, node);
            return best;
        }
        if (there[n] < here[n]) {
            *lessSlot = node;
            lessSlot = More(w, node);
            node = *lessSlot;
            lessLength = n;
        } else {
            *moreSlot = node;
            moreSlot = Less(w, node);
            node = *moreSlot;
            moreLength = n;
        }
    }
    *lessSlot = 0;
    *moreSlot = 0;
    return best;
}

int Limit(const SzddWriter* w, uint32_t position) {
    uint32_t left = w->end - position;
    return left < kSzddMaxMatch ? static_cast<int>(left) : kSzddMaxMatch;
}

// Longest match for the bytes at position (0 when under three bytes); every
// position before it is entered first.
int LongestMatch(SzddWriter* w, uint32_t position, uint32_t* source) {
    for (; w->nextInsert < position; ++w->nextInsert) {
        int limit = Limit(w, w->nextInsert);
        if (limit >= kSzddMinMatch) {
            uint32_t unused;
            InsertAndMatch(w, w->nextInsert, limit, &unused);
        }
    }
    int limit = Limit(w, position);
    if (limit < kSzddMinMatch) {
        return 0;
    }
    w->nextInsert = position + 1;
    int n = InsertAndMatch(w, position, limit, source);
    return n >= kSzddMinMatch ? n : 0;
}

void PutItem(SzddWriter* w, bool literal, unsigned char b1, unsigned char b2) {
    std::vector<unsigned char>& out = *w->out;
    if (w->flagBit == 8) {
        w->flagAt = out.size();
        out.push_back(0);
        w->flagBit = 0;
    }
    if (literal) {
        out[w->flagAt] = static_cast<unsigned char>(out[w->flagAt] | (1u << w->flagBit));
        out.push_back(b1);
    } else {
        out.push_back(b1);
        out.push_back(b2);
    }
    ++w->flagBit;
}

// Parses [cursor, cursor + count) optimally and emits it; the last item may
// run past the block (its bytes are in the buffer).
void EncodeBlock(SzddWriter* w, uint32_t count) {
    uint32_t start = w->cursor;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t position = start + i;
        uint32_t source = 0;
        int n = LongestMatch(w, position, &source);
        w->matchLength[i] = static_cast<unsigned char>(n);
        // The window slot of virtual position v: input byte k sits at 4080 + k.
        w->matchWindowPos[i] = static_cast<uint16_t>((source - 16) & (kSzddWindowSize - 1));
    }
    w->cost[count] = 0;
    for (uint32_t i = count; i-- > 0;) {
        uint32_t best = w->cost[i + 1] + kLiteralBits;
        unsigned char pick = 1;
        for (uint32_t n = kSzddMinMatch; n <= w->matchLength[i]; ++n) {
            uint32_t c = (i + n >= count ? 0 : w->cost[i + n]) + kMatchBits;
            if (c <= best) {
                best = c;
                pick = static_cast<unsigned char>(n);
            }
        }
        w->cost[i] = best;
        w->choice[i] = pick;
    }
    uint32_t i = 0;
    while (i < count) {
        uint32_t n = w->choice[i];
        if (n == 1) {
            PutItem(w, true, *At(w, start + i), 0);
        } else {
            uint32_t p = w->matchWindowPos[i];
            PutItem(w, false, static_cast<unsigned char>(p & 0xFF),
                    static_cast<unsigned char>(((p >> 4) & 0xF0) | (n - kSzddMinMatch)));
        }
        i += n;
    }
    w->cursor = start + i;
    w->produced += i;
}

// Encodes whole blocks while enough lookahead is buffered (or all, at the end).
void EncodeReady(SzddWriter* w, bool final) {
    for (;;) {
        uint32_t left = w->end - w->cursor;
        if (left == 0) {
            return;
        }
        if (!final && left < static_cast<uint32_t>(kSzddBlockSize + kSzddMaxMatch)) {
            return;
        }
        EncodeBlock(w, left < static_cast<uint32_t>(kSzddBlockSize) ? left : kSzddBlockSize);
    }
}

// Drops the bytes that no match can reach any more. The positions that the
// last match ran over are entered into the trees with the next block, so the
// window reaches back from the first of them.
void Shift(SzddWriter* w) {
    uint32_t first = w->nextInsert < w->cursor ? w->nextInsert : w->cursor;
    if (first < w->base + kSzddWindowSize) {
        return;
    }
    uint32_t keep = first - kSzddWindowSize;
    if (keep <= w->base) {
        return;
    }
    std::memmove(w->buffer.data(), At(w, keep), w->end - keep);
    w->base = keep;
}

} // namespace

void SzddWriterBegin(SzddWriter* w, std::vector<unsigned char>* out) {
    w->buffer.assign(kSzddBufferSize, ' ');
    w->base = 0;
    w->cursor = kPrefix;
    w->end = kPrefix;
    // The preset window's spaces: a match starting before its last 18
    // bytes is the same as one starting there.
    w->nextInsert = kPrefix - kSzddMaxMatch;
    w->head.assign(kSzddHashSize, 0);
    w->less.assign(kSzddTreeRing, 0);
    w->more.assign(kSzddTreeRing, 0);
    w->failed = false;
    w->matchLength.assign(kSzddBlockSize, 0);
    w->matchWindowPos.assign(kSzddBlockSize, 0);
    w->cost.assign(kSzddBlockSize + 1, 0);
    w->choice.assign(kSzddBlockSize, 0);
    w->out = out;
    w->flagAt = 0;
    w->flagBit = 8;
    w->produced = 0;
}

bool SzddWriterFeed(SzddWriter* w, const unsigned char* bytes, size_t count) {
    while (count > 0 && !w->failed) {
        if (static_cast<uint64_t>(w->end - kPrefix) + count > kSzddMaxInput) {
            w->failed = true;
            break;
        }
        size_t room = kSzddBufferSize - (w->end - w->base);
        if (room == 0) {
            EncodeReady(w, false);
            Shift(w);
            continue;
        }
        size_t n = count < room ? count : room;
        std::memcpy(At(w, w->end), bytes, n);
        w->end += static_cast<uint32_t>(n);
        bytes += n;
        count -= n;
    }
    return !w->failed;
}

bool SzddWriterFinish(SzddWriter* w) {
    if (w->failed) {
        return false;
    }
    EncodeReady(w, true);
    return true;
}

void SzddWriteHeader(unsigned char* header, uint32_t length, unsigned char missingChar) {
    std::memcpy(header, kSzddSignature, sizeof kSzddSignature);
    header[8] = kSzddModeA;
    header[9] = missingChar;
    for (int i = 0; i < 4; ++i) {
        header[10 + i] = static_cast<unsigned char>(length >> (8 * i));
    }
}

bool SzddCompressBuffer(const unsigned char* bytes, size_t count, std::vector<unsigned char>* out) {
    out->assign(kSzddHeaderSize, 0);
    if (count > kSzddMaxInput) {
        return false;
    }
    SzddWriteHeader(out->data(), static_cast<uint32_t>(count));
    SzddWriter* w = new SzddWriter;
    SzddWriterBegin(w, out);
    bool ok = SzddWriterFeed(w, bytes, count) && SzddWriterFinish(w);
    delete w;
    return ok;
}

bool SzddCompressFile(const char* inPath, const char* outPath) {
    FILE* in = PlatformOpenStream(inPath, "rb");
    if (in == nullptr) {
        return false;
    }
    FILE* out = PlatformOpenStream(outPath, "wb");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    std::vector<unsigned char> body;
    std::vector<unsigned char> input(1 << 16);
    SzddWriter* w = new SzddWriter;
    SzddWriterBegin(w, &body);
    unsigned char header[kSzddHeaderSize];
    SzddWriteHeader(header, 0);
    bool ok = std::fwrite(header, 1, sizeof header, out) == sizeof header;
    while (ok) {
        size_t got = std::fread(input.data(), 1, input.size(), in);
        if (got == 0) {
            ok = std::ferror(in) == 0 && SzddWriterFinish(w);
        } else {
            ok = SzddWriterFeed(w, input.data(), got);
        }
        // Everything but the open flag group can go out now.
        size_t ready = got == 0 || w->flagBit == 8 ? body.size() : w->flagAt;
        if (ok && ready > 0) {
            ok = std::fwrite(body.data(), 1, ready, out) == ready;
            body.erase(body.begin(), body.begin() + static_cast<long>(ready));
            w->flagAt -= ready > w->flagAt ? w->flagAt : ready;
        }
        if (got == 0) {
            break;
        }
    }
    if (ok) {
        SzddWriteHeader(header, static_cast<uint32_t>(w->produced));
        ok = std::fseek(out, 0, SEEK_SET) == 0 &&
             std::fwrite(header, 1, sizeof header, out) == sizeof header;
    }
    delete w;
    std::fclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        PlatformDeleteFile(outPath);
    }
    return ok;
}
