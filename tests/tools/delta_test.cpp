// The difference engine: chunk streams rebuild the new file exactly, stay
// inside the old file, and are small where the files share long runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "patch/crc32.h"
#include "patch/record_format.h"
#include "payload/szdd_writer.h"
#include "tests/support/test_support.h"
#include "patch/crc32_stream.h"
#include "tools/delta/delta.h"

using namespace testsupport;

namespace {

struct Encoded {
    ByteVector stream;
    DeltaStats stats;
};

Encoded Encode(const ByteVector& old, const ByteVector& now, int32_t minCopy = kDeltaMinCopy) {
    FILE* in = std::tmpfile();
    FILE* spool = std::tmpfile();
    if (!now.empty()) {
        std::fwrite(now.data(), 1, now.size(), in);
    }
    std::rewind(in);
    BlockIndex index;
    BuildBlockIndex(&index, old.data(), static_cast<uint32_t>(old.size()));
    ChunkSink sink;
    SinkBegin(&sink, spool);
    EXPECT_TRUE(EncodeDelta(&index, in, &sink, minCopy, nullptr, nullptr));
    Encoded e;
    e.stats = sink.stats;
    long size = std::ftell(spool);
    e.stream.resize(static_cast<size_t>(size));
    std::rewind(spool);
    EXPECT_EQ(e.stream.size(), std::fread(e.stream.data(), 1, e.stream.size(), spool));
    std::fclose(in);
    std::fclose(spool);
    return e;
}

// Applies the stream as the engine does, checking every chunk on the way.
ByteVector Rebuild(const ByteVector& old, const ByteVector& stream, int32_t minCopy) {
    ByteVector out;
    size_t pos = 0;
    bool lastWasCopy = false;
    uint32_t lastEnd = 0;
    while (pos < stream.size()) {
        EXPECT_GE(stream.size() - pos, 8u);
        uint32_t type = ReadLe32(&stream[pos]);
        uint32_t length = ReadLe32(&stream[pos + 4]);
        EXPECT_GT(length, 0u);
        if (type == ChunkCopy) {
            uint32_t offset = ReadLe32(&stream[pos + 8]);
            EXPECT_LE(uint64_t(offset) + length, old.size());
            EXPECT_GE(length, static_cast<uint32_t>(minCopy));
            EXPECT_FALSE(lastWasCopy && offset == lastEnd) << "adjacent copies not merged";
            out.insert(out.end(), old.begin() + offset, old.begin() + offset + length);
            lastWasCopy = true;
            lastEnd = offset + length;
            pos += 12;
        } else {
            EXPECT_EQ(uint32_t(ChunkLiteral), type);
            out.insert(out.end(), stream.begin() + pos + 8, stream.begin() + pos + 8 + length);
            lastWasCopy = false;
            pos += 8 + length;
        }
    }
    return out;
}

TEST(CrcStream, MatchesTheEngineChecksumInAnyPieces) {
    ByteVector data = RandomBytes(100003, 5);
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), data.size()}) {
        CrcStream crc;
        CrcBegin(&crc);
        for (size_t at = 0; at < data.size(); at += piece) {
            CrcUpdate(&crc, data.data() + at, std::min(piece, data.size() - at));
        }
        EXPECT_EQ(Crc32(static_cast<int32_t>(data.size()), data.data()), CrcValue(&crc));
    }
    ByteVector digits = TextBytes("123456789");
    CrcStream crc;
    CrcBegin(&crc);
    CrcUpdate(&crc, digits.data(), digits.size());
    EXPECT_EQ(0xFC891918u, CrcValue(&crc));
    CrcBegin(&crc);
    EXPECT_EQ(0u, CrcValue(&crc));
}

TEST(Delta, RebuildsVariedPairsExactly) {
    ByteVector base = RandomBytes(300000, 11);
    ByteVector moved(base.begin() + 200000, base.end());
    moved.insert(moved.end(), base.begin(), base.begin() + 200000);
    ByteVector edited = base;
    for (size_t i = 1000; i < edited.size(); i += 9000) {
        edited[i] ^= 0x5A; // scattered one-byte changes keep the alignment
    }
    ByteVector inserted = base;
    ByteVector extra = RandomBytes(5000, 12);
    inserted.insert(inserted.begin() + 150000, extra.begin(), extra.end());
    ByteVector repeated;
    for (int i = 0; i < 6; ++i) {
        repeated.insert(repeated.end(), base.begin() + 1000, base.begin() + 51000);
    }
    struct Case {
        const char* name;
        ByteVector old;
        ByteVector now;
        double maxRatio; // stream size / new size
    };
    std::vector<Case> cases = {
        {"identical", base, base, 0.01},
        {"moved_blocks", base, moved, 0.01},
        {"scattered_edits", base, edited, 0.05},
        {"insertion", base, inserted, 0.03},
        {"repeats_of_one_block", base, repeated, 0.01},
        {"unrelated", base, RandomBytes(50000, 13), 1.01},
        {"empty_old", {}, RandomBytes(1000, 14), 1.01},
        {"empty_new", base, {}, 0.0},
        {"tiny", TextBytes("abc"), TextBytes("abcd"), 10.0},
        {"runs", ByteVector(100000, 0), ByteVector(150000, 0), 0.01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Encoded e = Encode(c.old, c.now);
        EXPECT_EQ(c.now, Rebuild(c.old, e.stream, 8));
        EXPECT_EQ(int64_t(c.now.size()), e.stats.outputSize);
        EXPECT_EQ(int64_t(e.stream.size()), e.stats.streamBytes);
        EXPECT_LE(double(e.stream.size()), c.maxRatio * double(c.now.size()) + 8);
    }
}

TEST(Delta, NewFileLargerThanTheWindowAndOldLargerThanTheIndex) {
    // The new file crosses several windows; matches run over their edges.
    ByteVector old = RandomBytes(kDeltaWindow / 2 + 12345, 21);
    ByteVector now;
    while (now.size() < size_t(kDeltaWindow) * 2 + 777) {
        now.insert(now.end(), old.begin() + 4000, old.end());
        now.push_back(0x42);
    }
    Encoded e = Encode(old, now);
    EXPECT_EQ(now, Rebuild(old, e.stream, 16));
    EXPECT_LT(e.stats.literalBytes, 10000);
}

TEST(Delta, FindsNewAlignmentsAfterTheWindowMoves) {
    // Blocks of the old file in another order: every block is a new
    // alignment, found only by the index search. The file is over
    // kDeltaLookahead, so the window refills while it is parsed, and the
    // block edges fall at odd places, one just after the refill.
    const size_t block = 90000;
    const size_t order[] = {5, 0, 11, 3, 14, 8, 1, 12, 6, 15, 2, 9, 4, 13, 7, 10};
    ByteVector old = RandomBytes(block * 16, 41);
    ByteVector now;
    for (size_t b : order) {
        now.insert(now.end(), old.begin() + b * block, old.begin() + (b + 1) * block);
    }
    ASSERT_GT(now.size(), size_t(kDeltaLookahead));
    Encoded e = Encode(old, now);
    EXPECT_EQ(now, Rebuild(old, e.stream, 8));
    EXPECT_EQ(0, e.stats.literalBytes);
    EXPECT_EQ(16, e.stats.copyChunks);
}

TEST(Delta, LongRunsAreOneShortCopyRepeated) {
    // Padding: the old file has 87 zero bytes, the new one 6000. The same
    // copy chunk again and again costs LZSS almost nothing, far less than
    // the run itself as literals.
    ByteVector old = RandomBytes(5000, 51);
    std::fill(old.begin() + 1892, old.begin() + 1979, 0);
    ByteVector now(old.begin(), old.begin() + 1500);
    now.insert(now.end(), 6000, 0);
    now.insert(now.end(), old.begin() + 2000, old.end());
    Encoded e = Encode(old, now);
    EXPECT_EQ(now, Rebuild(old, e.stream, 8));
    ByteVector packedStream;
    ByteVector packedRun;
    ByteVector run(6000, 0);
    ASSERT_TRUE(SzddCompressBuffer(e.stream.data(), e.stream.size(), &packedStream));
    ASSERT_TRUE(SzddCompressBuffer(run.data(), run.size(), &packedRun));
    EXPECT_LT(packedStream.size() * 4, packedRun.size());
    EXPECT_EQ(0, e.stats.literalBytes);
}

TEST(Delta, RebuildsEditedFilesOfRunsAndTablesExactly) {
    // Files like executables: random stretches, zero padding and tables of
    // one repeated entry, then edited as a new build would be (inserts,
    // deletions, overwrites, padding that grows or shrinks).
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SeededRandom random(seed);
        ByteVector old;
        while (old.size() < 60000) {
            uint32_t kind = random() % 3;
            size_t n = 1 + random() % 3000;
            if (kind == 0) {
                ByteVector bytes = random.Bytes(n);
                old.insert(old.end(), bytes.begin(), bytes.end());
            } else if (kind == 1) {
                old.insert(old.end(), n, 0);
            } else {
                ByteVector entry = random.Bytes(1 + random() % 64);
                for (size_t i = 0; i < n; ++i) {
                    old.push_back(entry[i % entry.size()]);
                }
            }
        }
        ByteVector now = old;
        for (int edit = 0; edit < 12; ++edit) {
            size_t at = random() % (now.size() + 1);
            size_t n = 1 + random() % 2000;
            uint32_t kind = random() % 4;
            if (kind == 0) {
                ByteVector bytes = random.Bytes(n);
                now.insert(now.begin() + at, bytes.begin(), bytes.end());
            } else if (kind == 1) {
                now.erase(now.begin() + at, now.begin() + std::min(now.size(), at + n));
            } else if (kind == 2) {
                now.insert(now.begin() + at, n, 0);
            } else if (at < now.size()) {
                now[at] ^= 0x80;
            }
        }
        Encoded e = Encode(old, now);
        EXPECT_EQ(now, Rebuild(old, e.stream, 8));
        EXPECT_EQ(int64_t(e.stream.size()), e.stats.streamBytes);
    }
}

TEST(Delta, LongLiteralsAreSplitIntoBoundedChunks) {
    ByteVector now = RandomBytes(kDeltaMaxLiteral * 2 + 5, 31);
    Encoded e = Encode(ByteVector(64, 1), now);
    EXPECT_EQ(now, Rebuild(ByteVector(64, 1), e.stream, 8));
    EXPECT_EQ(3, e.stats.literalChunks);
}

} // namespace
