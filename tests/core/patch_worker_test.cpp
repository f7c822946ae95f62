#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"
#include "payload/archive_writer.h"
#include "payload/patch_worker.h"
#include "payload/szdd_writer.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

struct Outcome {
    int32_t status;
    int32_t total;
    int32_t index;
};

// Runs the worker as the patch phase does, on this thread.
Outcome RunWorker(const std::string& archive, char* directory) {
    ResetPatchPhase();
    PatchJob job{archive.c_str(), directory};
    PatchWorker(&job);
    return {ObserveStatus(&PatchStatus), PatchProgressCounters.total.load(),
            PatchProgressCounters.index.load()};
}

Outcome RunWorker(const std::string& archive, const ScratchDir& install) {
    char directory[kPathSize];
    std::strcpy(directory, install.path.c_str());
    return RunWorker(archive, directory);
}

struct Sample {
    std::vector<ByteVector> records;
    std::vector<std::string> names;
    ByteVector archive;
    void Add(const std::string& name, ByteVector record) {
        names.push_back(name);
        records.push_back(std::move(record));
    }
    void Build() {
        std::vector<ArchiveEntry> entries;
        for (size_t i = 0; i < records.size(); ++i) {
            entries.push_back({names[i].c_str(), &records[i]});
        }
        archive = BuildArchive(entries);
    }
};

// Offset of entry k in an archive built by Sample.
size_t EntryOffset(const Sample& sample, size_t k) {
    size_t offset = 8 + 4 * sample.records.size();
    for (size_t i = 0; i < k; ++i) {
        offset += 8 + sample.names[i].size() + 1 + sample.records[i].size();
    }
    return offset;
}

} // namespace

TEST(Worker, AppliesEveryRecordPlainAndCompressed) {
    ByteVector oldCar = RandomBytes(3000, 11);
    ByteVector newCar = oldCar;
    newCar.resize(4000, 'n');
    ByteVector font = RandomBytes(500, 12);
    for (bool compressed : {false, true}) {
        ScratchDir install;
        ScratchDir temp;
        ASSERT_TRUE(MakeDirectory(install.At("CAR")));
        ASSERT_TRUE(WriteFile(install.At("CAR\\A.bin"), oldCar));
        ASSERT_TRUE(WriteText(install.At("gone.txt"), "bye"));
        Sample sample;
        sample.Add("00000.pat", PatchRecordFor("CAR\\A.bin", oldCar, newCar));
        sample.Add("00001.pat", WriteRecord("MENUDATA\\font\\f.fnt", font));
        sample.Add("00002.pat", DeleteRecord("gone.txt"));
        sample.Add("00003.pat", PatchRecordFor("course\\missing.bin", oldCar, newCar));
        sample.Build();
        ByteVector file = compressed ? SzddLiteralsOnly(sample.archive) : sample.archive;
        ASSERT_TRUE(WriteFile(temp.At("vnp1.tmp"), file));
        Outcome outcome = RunWorker(temp.At("vnp1.tmp"), install);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.total, 4);
        EXPECT_EQ(outcome.index, 3);
        EXPECT_EQ(Contents(install.At("CAR\\A.bin")), newCar);
        EXPECT_EQ(Contents(install.At("MENUDATA\\font\\f.fnt")), font);
        EXPECT_FALSE(Exists(install.At("gone.txt")));
        EXPECT_FALSE(Exists(install.At("course\\missing.bin")));
    }
}

TEST(Worker, CountsZeroAndNegativeApplyNothing) {
    ScratchDir install;
    ScratchDir temp;
    for (int32_t count : {0, -5}) {
        ByteVector archive = {'C', 'F', '0', '0'};
        AppendLe32(&archive, static_cast<uint32_t>(count));
        ASSERT_TRUE(WriteFile(temp.At("a"), archive));
        Outcome outcome = RunWorker(temp.At("a"), install);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.total, count);
        EXPECT_EQ(outcome.index, 0);
    }
}

TEST(Worker, ShortOrMissingArchivesFailBeforeTheCount) {
    ScratchDir install;
    ScratchDir temp;
    EXPECT_EQ(RunWorker(temp.At("missing"), install).status, -1);
    ASSERT_TRUE(WriteText(temp.At("short"), "CF00\x01"));
    Outcome outcome = RunWorker(temp.At("short"), install);
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.total, kInitialTotal);
    // A count whose offset table runs past the end of the stream.
    ByteVector table = {'C', 'F', '0', '0'};
    AppendLe32(&table, 0x7FFFFFFF);
    ASSERT_TRUE(WriteFile(temp.At("table"), table));
    EXPECT_EQ(RunWorker(temp.At("table"), install).status, -1);
}

TEST(Worker, OddButWellFormedArchivesApply) {
    ScratchDir install;
    ScratchDir temp;
    Sample sample;
    sample.Add("same.pat", WriteRecord("a.txt", TextBytes("first")));
    sample.Add("same.pat", WriteRecord("a.txt", TextBytes("second")));
    sample.Add("", WriteRecord("b.txt", TextBytes("b")));
    sample.Build();
    sample.archive[0] = 'X';                    // magic is not checked
    WriteLe32(sample.archive.data() + 12, 999); // nor are the offsets
    sample.archive.push_back(0xEE);             // nor trailing bytes
    ASSERT_TRUE(WriteFile(temp.At("odd"), sample.archive));
    EXPECT_EQ(RunWorker(temp.At("odd"), install).status, 1);
    EXPECT_EQ(Contents(install.At("a.txt")), TextBytes("second"));
    EXPECT_EQ(Contents(install.At("b.txt")), TextBytes("b"));
}

TEST(Worker, NameLengthZeroAndOverlongNames) {
    ScratchDir install;
    ScratchDir temp;
    ByteVector first = WriteRecord("one.txt", TextBytes("1"));
    ByteVector second = WriteRecord("two.txt", TextBytes("2"));
    ByteVector archive = {'C', 'F', '0', '0'};
    AppendLe32(&archive, 2);
    AppendLe32(&archive, 0);
    AppendLe32(&archive, 0);
    AppendLe32(&archive, static_cast<uint32_t>(first.size()));
    AppendLe32(&archive, 0); // no name bytes at all
    archive.insert(archive.end(), first.begin(), first.end());
    AppendLe32(&archive, static_cast<uint32_t>(second.size()));
    AppendLe32(&archive, 1000); // longer than the worker's name buffer
    archive.insert(archive.end(), 1000, 'n');
    archive.insert(archive.end(), second.begin(), second.end());
    ASSERT_TRUE(WriteFile(temp.At("names"), archive));
    EXPECT_EQ(RunWorker(temp.At("names"), install).status, 1);
    EXPECT_EQ(Contents(install.At("one.txt")), TextBytes("1"));
    EXPECT_EQ(Contents(install.At("two.txt")), TextBytes("2"));
}

TEST(Worker, ArchiveCutShortInsideEntryK) {
    Sample sample;
    for (int i = 0; i < 5; ++i) {
        sample.Add("0000" + std::to_string(i) + ".pat",
                   WriteRecord("f" + std::to_string(i) + ".bin", RandomBytes(200, i)));
    }
    sample.Build();
    const size_t k = 3;
    // Cuts in the lengths, in the name and in the record of entry k.
    for (size_t into : {2, 9, 30}) {
        ScratchDir install;
        ScratchDir temp;
        ByteVector cut(sample.archive.begin(),
                       sample.archive.begin() + static_cast<long>(EntryOffset(sample, k) + into));
        ASSERT_TRUE(WriteFile(temp.At("cut"), cut));
        ASSERT_TRUE(WriteFile(temp.At("cut.szdd"), SzddLiteralsOnly(cut)));
        for (const char* file : {"cut", "cut.szdd"}) {
            Outcome outcome = RunWorker(temp.At(file), install);
            EXPECT_EQ(outcome.status, -1) << file << " at " << into;
            EXPECT_EQ(outcome.total, 5);
            EXPECT_EQ(outcome.index, static_cast<int32_t>(k));
            for (size_t i = 0; i < 5; ++i) {
                EXPECT_EQ(Exists(install.At("f" + std::to_string(i) + ".bin")), i < k) << i;
            }
        }
    }
}

TEST(Worker, FailingRecordStopsTheWalk) {
    ScratchDir install;
    ScratchDir temp;
    Sample sample;
    sample.Add("0.pat", WriteRecord("a.bin", TextBytes("a")));
    ByteVector bad = WriteRecord("b.bin", TextBytes("b"));
    WriteLe32(bad.data() + kOffTargetCrc, 42);
    sample.Add("1.pat", bad);
    sample.Add("2.pat", WriteRecord("c.bin", TextBytes("c")));
    sample.Build();
    ASSERT_TRUE(WriteFile(temp.At("a"), sample.archive));
    Outcome outcome = RunWorker(temp.At("a"), install);
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.index, 1);
    EXPECT_TRUE(Exists(install.At("a.bin")));
    EXPECT_FALSE(Exists(install.At("c.bin")));
    // A record length that cannot be allocated or read fails the same way.
    ByteVector huge = sample.archive;
    WriteLe32(huge.data() + EntryOffset(sample, 1), 0xFFFFFFF0u);
    ASSERT_TRUE(WriteFile(temp.At("huge"), huge));
    outcome = RunWorker(temp.At("huge"), install);
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.index, 1);
}

TEST(Worker, DirectorySeparatorIsAppendedOnce) {
    ScratchDir install;
    ScratchDir temp;
    ByteVector archive = {'C', 'F', '0', '0', 0, 0, 0, 0};
    ASSERT_TRUE(WriteFile(temp.At("empty"), archive));
    char directory[kPathSize];
    std::strcpy(directory, "D:\\Games\\Sim");
    RunWorker(temp.At("empty"), directory);
    EXPECT_STREQ(directory, "D:\\Games\\Sim\\");
    RunWorker(temp.At("empty"), directory);
    EXPECT_STREQ(directory, "D:\\Games\\Sim\\");
    std::strcpy(directory, "D:/Games/Sim/");
    RunWorker(temp.At("empty"), directory);
    EXPECT_STREQ(directory, "D:/Games/Sim/\\");
    // No room for the separator, and no directory at all: refused.
    std::string full(kPathSize - 1, 'd');
    std::strcpy(directory, full.c_str());
    EXPECT_EQ(RunWorker(temp.At("empty"), directory).status, -1);
    directory[0] = '\0';
    EXPECT_EQ(RunWorker(temp.At("empty"), directory).status, -1);
}

// A multi-megabyte archive of many records, applied plain and compressed.
TEST(Worker, MultiMegabyteArchive) {
    const int kFiles = 24;
    std::vector<ByteVector> olds;
    std::vector<ByteVector> news;
    Sample sample;
    for (int i = 0; i < kFiles; ++i) {
        // Half noise, half repeating text, so that the envelope has matches.
        olds.push_back(RandomBytes(75000 + 500 * i, 100 + i));
        for (int line = 0; olds.back().size() < 150000u + 1000 * i; ++line) {
            ByteVector text = TextBytes("record " + std::to_string(line % 37) + " of the course\n");
            olds.back().insert(olds.back().end(), text.begin(), text.end());
        }
        ByteVector next = olds.back();
        for (size_t j = 0; j < next.size(); j += 997) {
            next[j] ^= 0x5A;
        }
        news.push_back(next);
        std::string target = "course\\c" + std::to_string(i) + ".bin";
        sample.Add(std::to_string(10000 + i) + ".pat", PatchRecordFor(target, olds[i], news[i]));
    }
    sample.Build();
    ASSERT_GT(sample.archive.size(), 3u << 20);
    ByteVector szdd;
    ASSERT_TRUE(SzddCompressBuffer(sample.archive.data(), sample.archive.size(), &szdd));
    EXPECT_LT(szdd.size(), sample.archive.size() * 3 / 4);
    for (bool compressed : {false, true}) {
        ScratchDir install;
        ScratchDir temp;
        ASSERT_TRUE(MakeDirectory(install.At("course")));
        for (int i = 0; i < kFiles; ++i) {
            ASSERT_TRUE(WriteFile(install.At("course\\c" + std::to_string(i) + ".bin"), olds[i]));
        }
        ASSERT_TRUE(WriteFile(temp.At("big"), compressed ? szdd : sample.archive));
        Outcome outcome = RunWorker(temp.At("big"), install);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.index, kFiles - 1);
        for (int i = 0; i < kFiles; ++i) {
            EXPECT_EQ(Contents(install.At("course\\c" + std::to_string(i) + ".bin")), news[i]);
        }
    }
}

// An installation directory holding "ソ" (0x83 0x5C) and "表" (0x95 0x5C):
// their trail bytes must not be taken for separators.
TEST(Worker, ShiftJisInstallDirectory) {
    PlatformUseShiftJis(true);
    ScratchDir base;
    std::string install = base.At("\x83\x5C\x95\x5C");
    ASSERT_TRUE(MakeDirectory(install));
    ASSERT_TRUE(MakeDirectory(install + "\\CAR"));
    ByteVector old = RandomBytes(2000, 9);
    ByteVector next = TextBytes("rebuilt");
    ASSERT_TRUE(WriteFile(install + "\\CAR\\A.bin", old));
    Sample sample;
    sample.Add("0.pat", PatchRecordFor("CAR\\A.bin", old, next));
    sample.Add("1.pat", WriteRecord("NEW\\B.bin", TextBytes("b")));
    sample.Build();
    ASSERT_TRUE(WriteFile(base.At("arc"), sample.archive));
    char directory[kPathSize];
    std::strcpy(directory, install.c_str());
    EXPECT_EQ(RunWorker(base.At("arc"), directory).status, 1);
    EXPECT_EQ(std::string(directory), install + "\\");
    EXPECT_EQ(Contents(install + "\\CAR\\A.bin"), next);
    EXPECT_EQ(Contents(install + "\\NEW\\B.bin"), TextBytes("b"));
    // Nothing was made beside the directory by a wrong split.
    EXPECT_EQ(EnumerateFiles(base.path.c_str(), "*", nullptr, 0), 1);
    PlatformUseShiftJis(false);
}

// An SZDD header may declare up to 4 GiB, but the stream's length and
// positions travel as signed 32-bit values. Just below 2 GiB the archive is
// read as far as its body goes (the walk never reads past its last entry);
// from 2 GiB on it is refused before anything is applied, with its reason.
TEST(Worker, DeclaredLengthAtTheTwoGigabyteBoundary) {
    Sample sample;
    sample.Add("00000.pat", WriteRecord("VRNL.exe", TextBytes("new exe")));
    sample.Build();
    ByteVector envelope = SzddLiteralsOnly(sample.archive);
    ScratchDir temp;
    for (uint32_t declared : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(declared);
        ScratchDir install;
        WriteLe32(envelope.data() + 10, declared);
        ASSERT_TRUE(WriteFile(temp.At("big.szdd"), envelope));
        Outcome outcome = RunWorker(temp.At("big.szdd"), install);
        if (declared <= 0x7FFFFFFFu) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(PatchFailureReason.load(), PatchFailureNone);
            EXPECT_EQ(Contents(install.At("VRNL.exe")), TextBytes("new exe"));
        } else {
            EXPECT_EQ(outcome.status, -1);
            EXPECT_EQ(PatchFailureReason.load(), PatchFailureStreamTooLong);
            EXPECT_EQ(outcome.total, kInitialTotal);
            EXPECT_TRUE(FilesUnder(install.path).empty());
        }
    }
}
