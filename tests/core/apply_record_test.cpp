#include <gtest/gtest.h>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/crc32.h"
#include "patch/crc32_stream.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

constexpr int32_t kAll = SkipMissingTarget | SkipSourceMismatch;

bool Apply(const ByteVector& record, const ScratchDir& dir, int32_t flags = kAll) {
    return ApplyPatchRecord(record.data(), static_cast<int32_t>(record.size()),
                            dir.Install().c_str(), flags);
}

// A record with a copy chunk whose range steps backwards and overlaps.
ByteVector ShuffledPatch(const ByteVector& oldContents, ByteVector* expected) {
    ByteVector record;
    expected->clear();
    expected->insert(expected->end(), oldContents.begin() + 500, oldContents.begin() + 900);
    expected->insert(expected->end(), oldContents.begin() + 100, oldContents.begin() + 600);
    ByteVector literal = TextBytes("<new bytes>");
    expected->insert(expected->end(), literal.begin(), literal.end());
    expected->insert(expected->end(), oldContents.begin(), oldContents.begin() + 50);
    BeginRecord(&record, OpPatch, CrcOf(oldContents), CrcOf(*expected), "CAR\\NR33.bin");
    AppendCopyChunk(&record, 500, 400);
    AppendCopyChunk(&record, 100, 500);
    AppendLiteralChunk(&record, literal.data(), static_cast<uint32_t>(literal.size()));
    AppendCopyChunk(&record, 0, 50);
    return record;
}

class PatchRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old = RandomBytes(1000, 7);
        ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
        ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), old));
    }
    void ExpectOldFileBack() {
        EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), old);
        EXPECT_FALSE(Exists(dir.At("CAR\\NR33.bin.bak")));
    }
    ScratchDir dir;
    ByteVector old;
};

} // namespace

TEST(Crc, CheckValues) {
    const unsigned char digits[] = "123456789";
    const unsigned char abc[] = "abc";
    EXPECT_EQ(Crc32(9, digits), 0xFC891918u);
    EXPECT_EQ(Crc32(3, abc), 0x648CBB73u);
    EXPECT_EQ(Crc32(0, digits), 0u);
    EXPECT_EQ(Crc32(-5, digits), 0u);
}

TEST(Crc, StreamedChecksumAgreesWithTheWholeOne) {
    ByteVector bytes = RandomBytes(10000, 3);
    const int32_t splits[] = {0, 1, 7, 4096, 9999, 10000};
    for (int32_t split : splits) {
        uint32_t reg = Crc32Update(kCrc32Preset, bytes.data(), static_cast<size_t>(split));
        reg = Crc32Update(reg, bytes.data() + split, bytes.size() - static_cast<size_t>(split));
        EXPECT_EQ(Crc32Finish(reg, static_cast<int64_t>(bytes.size())),
                  Crc32(static_cast<int32_t>(bytes.size()), bytes.data()))
            << "split at " << split;
    }
    EXPECT_EQ(Crc32Finish(kCrc32Preset, 0), 0u);
}

TEST(Crc, FileChecksumOfMissingEmptyAndData) {
    ScratchDir dir;
    EXPECT_EQ(FileChecksum(dir.At("missing").c_str()), 0u);
    ASSERT_TRUE(WriteText(dir.At("empty"), ""));
    EXPECT_EQ(FileChecksum(dir.At("empty").c_str()), 0u);
    ASSERT_TRUE(WriteText(dir.At("digits"), "123456789"));
    EXPECT_EQ(FileChecksum(dir.At("digits").c_str()), 0xFC891918u);
}

TEST_F(PatchRecordTest, RebuildsFromCopiesAndLiterals) {
    ByteVector expected;
    ByteVector record = ShuffledPatch(old, &expected);
    EXPECT_TRUE(Apply(record, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), expected);
    EXPECT_FALSE(Exists(dir.At("CAR\\NR33.bin.bak")));
    // Applied again, the file is at the new version: a source mismatch,
    // passed over under the flags and failing without them.
    EXPECT_TRUE(Apply(record, dir));
    EXPECT_FALSE(Apply(record, dir, SkipMissingTarget));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), expected);
    EXPECT_FALSE(Exists(dir.At("CAR\\NR33.bin.bak")));
}

TEST_F(PatchRecordTest, MissingTargetFollowsItsFlag) {
    ByteVector record = PatchRecordFor("CAR\\GONE.bin", old, TextBytes("new"));
    EXPECT_TRUE(Apply(record, dir, SkipMissingTarget));
    EXPECT_FALSE(Apply(record, dir, 0));
    ByteVector elsewhere = PatchRecordFor("NEWDIR\\x.bin", old, TextBytes("new"));
    EXPECT_TRUE(Apply(elsewhere, dir));
    EXPECT_EQ(EnumerateFiles(dir.At("NEWDIR").c_str(), "*.*", nullptr, 0), -1);
}

TEST_F(PatchRecordTest, FailedVerificationRestoresTheOldFile) {
    ByteVector record = PatchRecordFor("CAR\\NR33.bin", old, TextBytes("new contents"));
    WriteLe32(record.data() + kOffTargetCrc, 0x12345678);
    EXPECT_FALSE(Apply(record, dir));
    ExpectOldFileBack();
}

TEST_F(PatchRecordTest, ExistingBackupMakesTheRecordFail) {
    ASSERT_TRUE(WriteText(dir.At("CAR\\NR33.bin.bak"), "stale"));
    ByteVector record = PatchRecordFor("CAR\\NR33.bin", old, TextBytes("new contents"));
    EXPECT_FALSE(Apply(record, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), old);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin.bak")), TextBytes("stale"));
}

TEST_F(PatchRecordTest, TwoRecordsForTwoOlderVersions) {
    ByteVector older = RandomBytes(700, 8);
    ByteVector newest = old;
    newest.insert(newest.end(), older.begin(), older.begin() + 100);
    ByteVector fromOld = PatchRecordFor("CAR\\NR33.bin", old, newest);
    ByteVector fromOlder = PatchRecordFor("CAR\\NR33.bin", older, newest);
    // Either older version ends at the new one with both records applied.
    EXPECT_TRUE(Apply(fromOlder, dir));
    EXPECT_TRUE(Apply(fromOld, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), newest);
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), older));
    EXPECT_TRUE(Apply(fromOlder, dir));
    EXPECT_TRUE(Apply(fromOld, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), newest);
    // A third version matches neither and stays as it is.
    ByteVector other = TextBytes("a user's own version");
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), other));
    EXPECT_TRUE(Apply(fromOlder, dir));
    EXPECT_TRUE(Apply(fromOld, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), other);
    EXPECT_FALSE(Exists(dir.At("CAR\\NR33.bin.bak")));
}

TEST_F(PatchRecordTest, EmptyStreamAndEmptyOldFile) {
    ByteVector record;
    BeginRecord(&record, OpPatch, CrcOf(old), 0, "CAR\\NR33.bin");
    EXPECT_TRUE(Apply(record, dir));
    EXPECT_TRUE(Contents(dir.At("CAR\\NR33.bin")).empty());
    // Source checksum 0 matches the now empty file.
    ByteVector grow = PatchRecordFor("CAR\\NR33.bin", ByteVector(), TextBytes("grown"));
    EXPECT_EQ(ReadLe32(grow.data() + kOffSourceCrc), 0u);
    EXPECT_TRUE(Apply(grow, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), TextBytes("grown"));
}

TEST_F(PatchRecordTest, ReadOnlyTargetIsRebuilt) {
    // The rename keeps the read-only attribute on the backup; a rebuilt file
    // is new and writable, so a read-only target still patches.
    ASSERT_TRUE(PlatformSetReadOnly(dir.At("CAR\\NR33.bin").c_str()));
    ByteVector record = PatchRecordFor("CAR\\NR33.bin", old, TextBytes("replaced"));
    EXPECT_TRUE(Apply(record, dir));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), TextBytes("replaced"));
    EXPECT_FALSE(Exists(dir.At("CAR\\NR33.bin.bak")));
}

TEST_F(PatchRecordTest, HeaderFaultsChangeNothing) {
    ByteVector good = PatchRecordFor("CAR\\NR33.bin", old, TextBytes("new"));
    struct Case {
        const char* what;
        int32_t offset;
        uint32_t value;
    } cases[] = {
        {"magic", kOffMagic, 0x50415445},     {"version 2", kOffVersion, 2},
        {"operation 3", kOffOperation, 3},    {"name past the record", kOffNameLength, 0x7FFFFFF0},
        {"name length 0", kOffNameLength, 0},
    };
    for (const Case& c : cases) {
        ByteVector record = good;
        WriteLe32(record.data() + c.offset, c.value);
        EXPECT_FALSE(Apply(record, dir)) << c.what;
        ExpectOldFileBack();
    }
    ByteVector reserved = good;
    WriteLe32(reserved.data() + kOffReserved, 0xDEADBEEF);
    EXPECT_TRUE(Apply(reserved, dir));
    // A name without its NUL inside the name length.
    ByteVector noNul;
    BeginRecord(&noNul, OpWrite, 0, 0, "CAR\\X");
    noNul.back() = 'Y';
    EXPECT_FALSE(Apply(noNul, dir));
    EXPECT_FALSE(Exists(dir.At("CAR\\X")));
    EXPECT_FALSE(Exists(dir.At("CAR\\XY")));
    // Shorter than the fixed header.
    EXPECT_FALSE(Apply(ByteVector(good.begin(), good.begin() + 20), dir));
}

TEST_F(PatchRecordTest, ChunkFaultsRestoreTheOldFile) {
    ByteVector literal = TextBytes("abc");
    struct Case {
        const char* what;
        ByteVector record;
    };
    std::vector<Case> cases;
    ByteVector r;
    BeginRecord(&r, OpPatch, CrcOf(old), 0, "CAR\\NR33.bin");
    ByteVector base = r;
    AppendCopyChunk(&r, 990, 11);
    cases.push_back({"copy past the old contents", r});
    r = base;
    AppendCopyChunk(&r, 0xFFFFFFF0u, 0x20);
    cases.push_back({"copy offset wraps", r});
    r = base;
    AppendLiteralChunk(&r, literal.data(), 3);
    WriteLe32(r.data() + base.size() + 4, 4);
    cases.push_back({"literal past the record", r});
    r = base;
    AppendCopyChunk(&r, 0, 10);
    r.resize(r.size() - 2);
    cases.push_back({"copy head cut short", r});
    r = base;
    r.push_back(1);
    cases.push_back({"stream ends inside a chunk head", r});
    r = base;
    AppendLe32(&r, 2);
    AppendLe32(&r, 0);
    cases.push_back({"chunk type 2", r});
    for (const Case& c : cases) {
        EXPECT_FALSE(Apply(c.record, dir)) << c.what;
        ExpectOldFileBack();
    }
}

TEST_F(PatchRecordTest, ReportsSayWhatBecameOfTheRecord) {
    ByteVector rebuild = PatchRecordFor("CAR\\NR33.bin", old, TextBytes("new contents"));
    ByteVector badCrc = rebuild;
    WriteLe32(badCrc.data() + kOffTargetCrc, 0x12345678);
    ByteVector badMagic = rebuild;
    WriteLe32(badMagic.data() + kOffMagic, 0);
    ByteVector chunkOut;
    BeginRecord(&chunkOut, OpPatch, CrcOf(old), 0, "CAR\\NR33.bin");
    AppendCopyChunk(&chunkOut, 990, 11);
    struct Case {
        const char* what;
        ByteVector record;
        int32_t flags;
        RecordOutcome outcome;
    } cases[] = {
        {"missing, skipped", PatchRecordFor("CAR\\GONE.bin", old, TextBytes("x")), kAll,
         OutcomeSkippedMissing},
        {"missing, not skipped", PatchRecordFor("CAR\\GONE.bin", old, TextBytes("x")), 0,
         OutcomeMissing},
        {"other version, skipped", PatchRecordFor("CAR\\NR33.bin", TextBytes("v0"), TextBytes("x")),
         kAll, OutcomeSkippedOtherVersion},
        {"other version, not skipped",
         PatchRecordFor("CAR\\NR33.bin", TextBytes("v0"), TextBytes("x")), 0,
         OutcomeSourceMismatch},
        {"bad magic", badMagic, kAll, OutcomeBadHeader},
        {"escaping name", WriteRecord("..\\x", TextBytes("x")), kAll, OutcomeUnsafeName},
        {"overlong name", WriteRecord(std::string(300, 'a'), TextBytes("x")), kAll,
         OutcomePathTooLong},
        {"copy outside the old file", chunkOut, kAll, OutcomeMalformedChunks},
        {"wrong target checksum", badCrc, kAll, OutcomeVerifyFailed},
    };
    for (const Case& c : cases) {
        RecordReport report{OutcomeRebuilt, true};
        bool applied = ApplyPatchRecordReported(c.record.data(), int32_t(c.record.size()),
                                                dir.Install().c_str(), c.flags, &report);
        EXPECT_EQ(report.outcome, c.outcome) << c.what;
        EXPECT_EQ(applied, !OutcomeIsFailure(c.outcome)) << c.what;
        EXPECT_FALSE(report.healed) << c.what;
        ExpectOldFileBack();
    }
    ASSERT_TRUE(WriteText(dir.At("CAR\\NR33.bin.bak"), "stale"));
    RecordReport report{};
    EXPECT_FALSE(ApplyPatchRecordReported(rebuild.data(), int32_t(rebuild.size()),
                                          dir.Install().c_str(), kAll, &report));
    EXPECT_EQ(report.outcome, OutcomeBackupInTheWay);
    DeleteFileForced(dir.At("CAR\\NR33.bin.bak").c_str());
    EXPECT_TRUE(ApplyPatchRecordReported(rebuild.data(), int32_t(rebuild.size()),
                                         dir.Install().c_str(), kAll, &report));
    EXPECT_EQ(report.outcome, OutcomeRebuilt);
    ByteVector write = WriteRecord("CAR\\NEW.bin", TextBytes("w"));
    ByteVector remove = DeleteRecord("CAR\\NR33.bin");
    EXPECT_TRUE(ApplyPatchRecordReported(write.data(), int32_t(write.size()), dir.Install().c_str(),
                                         kAll, &report));
    EXPECT_EQ(report.outcome, OutcomeWritten);
    EXPECT_TRUE(ApplyPatchRecordReported(remove.data(), int32_t(remove.size()),
                                         dir.Install().c_str(), kAll, &report));
    EXPECT_EQ(report.outcome, OutcomeDeleted);
}

TEST(WriteRecord, CreatesFoldersAndReplacesFiles) {
    ScratchDir dir;
    ByteVector contents = RandomBytes(5000, 1);
    EXPECT_TRUE(Apply(WriteRecord("MENUDATA\\font\\new.fnt", contents), dir));
    EXPECT_EQ(Contents(dir.At("MENUDATA\\font\\new.fnt")), contents);
    EXPECT_TRUE(Apply(WriteRecord("MENUDATA\\font\\new.fnt", TextBytes("second")), dir));
    EXPECT_EQ(Contents(dir.At("MENUDATA\\font\\new.fnt")), TextBytes("second"));
}

TEST(WriteRecord, FailuresLeaveWhatWasWritten) {
    ScratchDir dir;
    // A wrong checksum: the written file stays, the record fails.
    ByteVector wrong = WriteRecord("a.bin", TextBytes("data"));
    WriteLe32(wrong.data() + kOffTargetCrc, 1);
    EXPECT_FALSE(Apply(wrong, dir));
    EXPECT_EQ(Contents(dir.At("a.bin")), TextBytes("data"));
    // A copy chunk has no old file to copy from.
    ByteVector copy;
    BeginRecord(&copy, OpWrite, 0, 0, "b.bin");
    AppendCopyChunk(&copy, 0, 1);
    EXPECT_FALSE(Apply(copy, dir));
    // Any other chunk type is a literal.
    ByteVector typed;
    BeginRecord(&typed, OpWrite, 0, CrcOf(TextBytes("xyz")), "c.bin");
    AppendLiteralChunk(&typed, TextBytes("xyz").data(), 3);
    WriteLe32(typed.data() + typed.size() - 11, 7);
    EXPECT_TRUE(Apply(typed, dir));
    EXPECT_EQ(Contents(dir.At("c.bin")), TextBytes("xyz"));
    // An empty stream verifies only against checksum 0.
    ByteVector empty;
    BeginRecord(&empty, OpWrite, 0, 5, "d.bin");
    EXPECT_FALSE(Apply(empty, dir));
    EXPECT_TRUE(Contents(dir.At("d.bin")).empty());
}

TEST(WriteRecord, ReadOnlyTargetFailsAndStays) {
    if (!ReadOnlyIsEnforced()) {
        GTEST_SKIP() << "this platform lets read-only files be opened for writing";
    }
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.At("ro.bin"), "keep"));
    ASSERT_TRUE(PlatformSetReadOnly(dir.At("ro.bin").c_str()));
    EXPECT_FALSE(Apply(WriteRecord("ro.bin", TextBytes("new")), dir));
    EXPECT_EQ(Contents(dir.At("ro.bin")), TextBytes("keep"));
}

TEST(DeleteRecord, DeletesEvenReadOnlyAndIgnoresMissing) {
    ScratchDir dir;
    ASSERT_TRUE(WriteText(dir.At("ro.bin"), "x"));
    ASSERT_TRUE(PlatformSetReadOnly(dir.At("ro.bin").c_str()));
    EXPECT_TRUE(Apply(DeleteRecord("ro.bin"), dir));
    EXPECT_FALSE(Exists(dir.At("ro.bin")));
    EXPECT_TRUE(Apply(DeleteRecord("never.bin"), dir));
}

TEST(RecordPaths, OverlongAndEscapingNamesAreRefused) {
    ScratchDir dir;
    std::string install = dir.Install();
    // Target of 259 bytes fits; its backup would not, so a patch is refused.
    std::string name(259 - install.size(), 'n');
    ByteVector write = WriteRecord(name, TextBytes("fits"));
    EXPECT_TRUE(Apply(write, dir));
    ByteVector patch = PatchRecordFor(name, TextBytes("fits"), TextBytes("new"));
    EXPECT_FALSE(Apply(patch, dir));
    EXPECT_EQ(Contents(dir.At(name)), TextBytes("fits"));
    EXPECT_FALSE(Apply(WriteRecord(name + "x", TextBytes("too long")), dir));
    EXPECT_FALSE(Apply(DeleteRecord(name + "x"), dir));
    // Names that leave the installation directory.
    for (const char* escaping :
         {"..\\evil.bin", "CAR\\..\\..\\evil.bin", "\\evil.bin", "C:\\evil"}) {
        EXPECT_FALSE(Apply(WriteRecord(escaping, TextBytes("x")), dir)) << escaping;
    }
}

// A name is a path, never a search pattern: with "*" or "?" in it the existence
// test would match other files, and the backends would differ on the rest.
TEST(RecordPaths, WildcardNamesAreRefusedByEveryOperation) {
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ByteVector old = RandomBytes(300, 3);
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), old));
    for (const char* name : {"CAR\\*.bin", "CAR\\NR3?.bin", "CAR\\new*.bin", "?"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Apply(WriteRecord(name, TextBytes("x")), dir));
        EXPECT_FALSE(Apply(PatchRecordFor(name, old, TextBytes("new")), dir));
        EXPECT_FALSE(Apply(DeleteRecord(name), dir));
        EXPECT_EQ(FilesUnder(dir.path), std::vector<std::string>{"CAR/NR33.bin"});
        EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), old);
    }
}
