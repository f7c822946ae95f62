// The SZDD writer against our reader, Debian's msexpand and mscompress.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fileutil/le_bytes.h"
#include "payload/szdd.h"
#include "payload/szdd_writer.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

struct Sample {
    const char* name;
    ByteVector bytes;
};

std::vector<Sample> Samples() {
    std::vector<Sample> samples;
    samples.push_back({"empty", {}});
    samples.push_back({"one", {'Z'}});
    samples.push_back({"spaces", ByteVector(5000, ' ')}); // all from the preset window
    samples.push_back({"run", ByteVector(100000, 0xAB)});
    samples.push_back({"random", RandomBytes(70000, 1)});
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += "line " + std::to_string(i * 7 % 113) + ": the quick brown fox\r\n";
    }
    samples.push_back({"text", TextBytes(text)});
    // Repeats at distances around the window's reach, across block edges.
    ByteVector period = RandomBytes(4095, 2);
    ByteVector edge;
    for (int i = 0; i < 40; ++i) {
        edge.insert(edge.end(), period.begin(), period.end());
        edge.push_back(static_cast<unsigned char>(i));
    }
    samples.push_back({"window_edge", edge});
    // Matches from exactly the window's reach, across every block edge.
    ByteVector reach;
    for (int i = 0; i < 50; ++i) {
        reach.insert(reach.end(), period.begin(), period.end());
    }
    samples.push_back({"window_reach", reach});
    ByteVector mixed = RandomBytes(kSzddBlockSize + 17, 3);
    ByteVector tail = RandomBytes(300, 4);
    for (int i = 0; i < 200; ++i) {
        mixed.insert(mixed.end(), tail.begin(), tail.end());
        mixed.push_back(' ');
    }
    samples.push_back({"mixed", mixed});
    return samples;
}

ByteVector ExpandWithReader(const std::string& path, bool* ok) {
    SzddReader* reader = new SzddReader;
    ByteVector out;
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
    ScratchDir scratch;
    std::string dir = scratch.path;
};

TEST_F(SzddWriterTest, HeaderAndRoundTripThroughOurReader) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        ByteVector packed;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &packed));
        ASSERT_GE(packed.size(), 14u);
        EXPECT_EQ(0, std::memcmp(packed.data(), kSzddSignature, 8));
        EXPECT_EQ('A', packed[8]);
        EXPECT_EQ(0, packed[9]);
        EXPECT_EQ(s.bytes.size(), ReadLe32(packed.data() + 10));
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
        ByteVector whole;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &whole));
        PutFile(dir, "in", s.bytes);
        ASSERT_TRUE(SzddCompressFile((dir + "/in").c_str(), (dir + "/out").c_str()));
        ByteVector streamed;
        ASSERT_TRUE(ReadFile(dir + "/out", &streamed));
        EXPECT_EQ(whole, streamed);

        ByteVector body(14, 0);
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
        ASSERT_EQ(0,
                  RunCommand("msexpand < " + Quote(dir + "/in.sz") + " > " + Quote(dir + "/back")));
        ByteVector back;
        ASSERT_TRUE(ReadFile(dir + "/back", &back));
        EXPECT_EQ(s.bytes, back);
    }
}

TEST_F(SzddWriterTest, OurExpandDecodesMscompressOutput) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        PutFile(dir, "data.bin", s.bytes);
        // mscompress writes "data.bin_" beside its input.
        ASSERT_EQ(0, RunCommand("cd " + Quote(dir) + " && rm -f data.bin_ && mscompress data.bin"));
        ASSERT_EQ(0, Vnpatch("expand " + Quote(dir + "/data.bin_") + " " + Quote(dir + "/back")));
        ASSERT_EQ(
            0, RunCommand("msexpand < " + Quote(dir + "/data.bin_") + " > " + Quote(dir + "/ref")));
        ByteVector back;
        ByteVector ref;
        ASSERT_TRUE(ReadFile(dir + "/back", &back));
        ASSERT_TRUE(ReadFile(dir + "/ref", &ref));
        // mscompress garbles inputs of up to two bytes (one stray or wrong
        // body byte, the header's length kept); msexpand writes what the body
        // holds there, and so do we.
        EXPECT_EQ(ref, back);
        if (s.bytes.size() > 2) {
            EXPECT_EQ(s.bytes, back);
        }
    }
}

// Smallest body for the bytes by trying every distance at every position.
size_t SmallestBody(const ByteVector& input) {
    ByteVector text(4096, ' ');
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
    ByteVector heads;
    ByteVector noise = RandomBytes(3000, 5);
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
        ByteVector packed;
        ASSERT_TRUE(SzddCompressBuffer(s.bytes.data(), s.bytes.size(), &packed));
        EXPECT_EQ(14 + SmallestBody(s.bytes), packed.size());
    }
}

// expand writes what the body holds, as LZExpand's LZCopy does, and warns
// when the header declared another length; a plain file is copied; another
// compression mode is refused and nothing is written.
TEST_F(SzddWriterTest, ExpandWritesWhatTheBodyHolds) {
    ByteVector data = RandomBytes(20000, 9);
    ByteVector packed;
    ASSERT_TRUE(SzddCompressBuffer(data.data(), data.size(), &packed));
    auto declare = [](ByteVector bytes, uint32_t length) {
        for (int i = 0; i < 4; ++i) {
            bytes[10 + i] = static_cast<unsigned char>(length >> (8 * i));
        }
        return bytes;
    };
    ByteVector cut(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
    ByteVector modeB = packed;
    modeB[8] = 'B';
    struct Case {
        const char* what;
        ByteVector input;
        bool warns;
    };
    const Case cases[] = {
        {"exact", packed, false},
        {"body cut short", cut, true},
        {"header declares less", declare(packed, 100), true},
        {"header declares more", declare(packed, 30000), true},
        {"plain file", data, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutFile(dir, "in", c.input);
        std::string output;
        ASSERT_EQ(0, Vnpatch("expand " + Quote(dir + "/in") + " " + Quote(dir + "/back"), &output))
            << output;
        EXPECT_EQ(c.warns, output.find("warning") != std::string::npos) << output;
        ByteVector back;
        ASSERT_TRUE(ReadFile(dir + "/back", &back));
        if (c.input == cut) {
            // The decoded start of the data, as far as the body's items go.
            EXPECT_GT(back.size(), data.size() / 4);
            EXPECT_LT(back.size(), data.size());
            EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
        } else {
            EXPECT_EQ(back, data);
        }
    }
    PutFile(dir, "modeB", modeB);
    std::remove((dir + "/back").c_str());
    std::string output;
    EXPECT_NE(0, Vnpatch("expand " + Quote(dir + "/modeB") + " " + Quote(dir + "/back"), &output));
    EXPECT_NE(std::string::npos, output.find("mode other than 'A'")) << output;
    ByteVector back;
    EXPECT_FALSE(ReadFile(dir + "/back", &back));
    EXPECT_NE(0, Vnpatch("compress " + Quote(dir + "/missing") + " " + Quote(dir + "/x")));
}

// The commands that read archives refuse a stream of 2 GiB or more with the
// reason, and read one just below as far as its body goes.
TEST_F(SzddWriterTest, ArchiveDeclaringTwoGigabytesIsRefusedWithItsReason) {
    ByteVector archive = {'C', 'F', '0', '0', 0, 0, 0, 0}; // no entries
    ByteVector packed;
    ASSERT_TRUE(SzddCompressBuffer(archive.data(), archive.size(), &packed));
    PutFile(dir + "/inst", "keep.txt", TextBytes("x"));
    for (uint32_t declared : {0x7FFFFFFFu, 0x80000000u}) {
        SCOPED_TRACE(declared);
        for (int i = 0; i < 4; ++i) {
            packed[10 + i] = static_cast<unsigned char>(declared >> (8 * i));
        }
        PutFile(dir, "big.szdd", packed);
        bool refused = declared > 0x7FFFFFFFu;
        std::string out;
        EXPECT_EQ(refused ? 1 : 0,
                  Vnpatch("apply " + Quote(dir + "/big.szdd") + " " + Quote(dir + "/inst"), &out))
            << out;
        EXPECT_EQ(refused, out.find("2 GiB or longer") != std::string::npos) << out;
        EXPECT_EQ(refused ? 1 : 0, Vnpatch("inspect " + Quote(dir + "/big.szdd"), &out)) << out;
        EXPECT_EQ(refused, out.find("2 GiB or longer") != std::string::npos) << out;
    }
}

} // namespace
