// The SZDD writer against our reader, Debian's msexpand and mscompress.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "payload/szdd.h"
#include "payload/szdd_writer.h"
#include "tools_support.h"

namespace {

struct Sample {
    const char* name;
    Bytes bytes;
};

std::vector<Sample> Samples() {
    std::vector<Sample> samples;
    samples.push_back({"empty", {}});
    samples.push_back({"one", {'Z'}});
    samples.push_back({"spaces", Bytes(5000, ' ')}); // all from the preset window
    samples.push_back({"run", Bytes(100000, 0xAB)});
    samples.push_back({"random", Random(70000, 1)});
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += "line " + std::to_string(i * 7 % 113) + ": the quick brown fox\r\n";
    }
    samples.push_back({"text", TextBytes(text)});
    // Repeats at distances around the window's reach, across block edges.
    Bytes period = Random(4095, 2);
    Bytes edge;
    for (int i = 0; i < 40; ++i) {
        edge.insert(edge.end(), period.begin(), period.end());
        edge.push_back(static_cast<unsigned char>(i));
    }
    samples.push_back({"window_edge", edge});
    // Matches from exactly the window's reach, across every block edge.
    Bytes reach;
    for (int i = 0; i < 50; ++i) {
        reach.insert(reach.end(), period.begin(), period.end());
    }
    samples.push_back({"window_reach", reach});
    Bytes mixed = Random(kSzddBlockSize + 17, 3);
    Bytes tail = Random(300, 4);
    for (int i = 0; i < 200; ++i) {
        mixed.insert(mixed.end(), tail.begin(), tail.end());
        mixed.push_back(' ');
    }
    samples.push_back({"mixed", mixed});
    return samples;
}

Bytes ExpandWithReader(const std::string& path, bool* ok) {
    SzddReader* reader = new SzddReader;
    Bytes out;
    *ok = SzddOpen(reader, path.c_str());
    if (*ok) {
        unsigned char buffer[5000];
        int32_t got;
        while ((got = SzddRead(reader, buffer, sizeof buffer)) > 0) {
            out.insert(out.end(), buffer, buffer + got);
        }
        *ok = got == 0 && reader->compressed;
        SzddClose(reader);
    }
    delete reader;
    return out;
}

class SzddWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { dir = MakeScratch("szdd"); }
    void TearDown() override { RemoveTree(dir); }
    std::string dir;
};

TEST_F(SzddWriterTest, HeaderAndRoundTripThroughOurReader) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        Bytes packed;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &packed));
        ASSERT_GE(packed.size(), 14u);
        EXPECT_EQ(0, std::memcmp(packed.data(), kSzddSignature, 8));
        EXPECT_EQ('A', packed[8]);
        EXPECT_EQ(0, packed[9]);
        uint32_t length = packed[10] | packed[11] << 8 | packed[12] << 16 |
                          static_cast<uint32_t>(packed[13]) << 24;
        EXPECT_EQ(s.bytes.size(), length);
        std::string path = dir + "/" + s.name + ".sz";
        PutFile(dir, std::string(s.name) + ".sz", packed);
        bool ok;
        EXPECT_EQ(s.bytes, ExpandWithReader(path, &ok));
        EXPECT_TRUE(ok);
    }
}

TEST_F(SzddWriterTest, StreamedFileAndPiecewiseFeedEqualTheWholeBuffer) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        Bytes whole;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &whole));
        PutFile(dir, "in", s.bytes);
        ASSERT_TRUE(SzddCompressFile((dir + "/in").c_str(), (dir + "/out").c_str()));
        Bytes streamed;
        ASSERT_TRUE(ReadAll(dir + "/out", &streamed));
        EXPECT_EQ(whole, streamed);

        Bytes body(14, 0);
        SzddWriter* w = new SzddWriter;
        SzddWriterBegin(w, &body);
        size_t at = 0;
        for (size_t step = 1; at < s.bytes.size(); step = step * 3 + 1) {
            size_t n = std::min(step % 70001, s.bytes.size() - at);
            ASSERT_TRUE(SzddWriterFeed(w, s.bytes.data() + at, n));
            at += n;
        }
        ASSERT_TRUE(SzddWriterFinish(w));
        delete w;
        SzddWriteHeader(body.data(), static_cast<uint32_t>(s.bytes.size()));
        EXPECT_EQ(whole, body);
    }
}

TEST_F(SzddWriterTest, MsexpandDecodesOurOutputByteForByte) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        PutFile(dir, "in", s.bytes);
        ASSERT_EQ(0, Vnpatch("compress " + Quote(dir + "/in") + " " + Quote(dir + "/in.sz")));
        ASSERT_EQ(0, Shell("msexpand < " + Quote(dir + "/in.sz") + " > " + Quote(dir + "/back")));
        Bytes back;
        ASSERT_TRUE(ReadAll(dir + "/back", &back));
        EXPECT_EQ(s.bytes, back);
    }
}

TEST_F(SzddWriterTest, OurExpandDecodesMscompressOutput) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        PutFile(dir, "data.bin", s.bytes);
        // mscompress writes "data.bin_" beside its input.
        ASSERT_EQ(0, Shell("cd " + Quote(dir) + " && rm -f data.bin_ && mscompress data.bin"));
        ASSERT_EQ(0, Vnpatch("expand " + Quote(dir + "/data.bin_") + " " + Quote(dir + "/back")));
        ASSERT_EQ(0,
                  Shell("msexpand < " + Quote(dir + "/data.bin_") + " > " + Quote(dir + "/ref")));
        Bytes back;
        Bytes ref;
        ASSERT_TRUE(ReadAll(dir + "/back", &back));
        ASSERT_TRUE(ReadAll(dir + "/ref", &ref));
        // mscompress garbles inputs of up to two bytes (one stray or wrong
        // body byte); the header's length still holds, and we keep to it.
        if (s.bytes.size() > 2) {
            EXPECT_EQ(s.bytes, back);
            EXPECT_EQ(ref, back);
        } else {
            EXPECT_EQ(s.bytes.size(), back.size());
        }
    }
}

// Smallest body for the bytes by trying every distance at every position.
size_t SmallestBody(const Bytes& input) {
    Bytes text(4096, ' ');
    text.insert(text.end(), input.begin(), input.end());
    std::vector<uint64_t> bits(text.size() + 1, 0);
    for (size_t p = text.size(); p-- > 4096;) {
        size_t limit = std::min<size_t>(18, text.size() - p);
        size_t longest = 0;
        for (size_t d = 1; d <= 4095 && longest < limit; ++d) {
            size_t n = 0;
            while (n < limit && text[p - d + n] == text[p + n]) {
                ++n;
            }
            longest = std::max(longest, n);
        }
        bits[p] = bits[p + 1] + 9;
        for (size_t n = 3; n <= longest; ++n) {
            bits[p] = std::min(bits[p], bits[p + n] + 17);
        }
    }
    return static_cast<size_t>((bits[4096] + 7) / 8);
}

TEST_F(SzddWriterTest, BodyIsTheSmallestTheFormatAllows) {
    // Patch-archive-like bytes: 12-byte chunk heads, mostly zero, with many
    // equal candidates that differ a few bytes on; plus the samples above
    // that fit one parse block.
    Bytes heads;
    Bytes noise = Random(3000, 5);
    for (size_t i = 0; heads.size() < 12000; ++i) {
        unsigned char head[12] = {0, 0, 0, 0, noise[i], 0, 0, 0, noise[i + 1], noise[i + 2], 0, 0};
        heads.insert(heads.end(), head, head + 12);
        if (noise[i + 3] < 40) {
            heads.insert(heads.end(), noise.begin() + i, noise.begin() + i + noise[i + 4] % 20);
        }
    }
    std::vector<Sample> samples = {{"heads", heads}};
    for (const Sample& s : Samples()) {
        if (s.bytes.size() < 20000) {
            samples.push_back(s);
        }
    }
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        Bytes packed;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &packed));
        EXPECT_EQ(14 + SmallestBody(s.bytes), packed.size());
    }
}

TEST_F(SzddWriterTest, ExpandRefusesACutBodyAndLeavesNoOutput) {
    Bytes data = Random(20000, 9);
    Bytes packed;
    ASSERT_TRUE(SzddCompressBuffer(data.data(), data.size(), &packed));
    packed.resize(packed.size() / 2);
    PutFile(dir, "cut.sz", packed);
    std::string output;
    EXPECT_NE(0, Vnpatch("expand " + Quote(dir + "/cut.sz") + " " + Quote(dir + "/back"), &output));
    Bytes back;
    EXPECT_FALSE(ReadAll(dir + "/back", &back));
    EXPECT_NE(0, Vnpatch("compress " + Quote(dir + "/missing") + " " + Quote(dir + "/x")));
}

} // namespace
