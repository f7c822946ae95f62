// Healing what a killed run left behind: each state an OpPatch can be cut off
// in, and the backups that must be left alone. Builds natively and for
// Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "patch/apply_record.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

// The file of the heal cases: 50000 bytes kept, 30000 new ones added.
FileVersions Versions() {
    return MakeVersions("course\\OVAL.bin", 70000, 50000, 30000, 11);
}

} // namespace

// States 2 and 3 of a rebuild (backup only, backup beside a partial file),
// and a kill after verification but before the backup was deleted.
TEST(Heal, MatchingBackupIsPutBackAndTheRecordApplied) {
    FileVersions v = Versions();
    struct Case {
        const char* what;
        bool target;
        ByteVector targetContents;
    };
    ByteVector partial(v.newVersion.begin(), v.newVersion.begin() + 20000);
    ByteVector intoLiteral(v.newVersion.begin(), v.newVersion.begin() + 60001);
    const Case cases[] = {
        {"backup only", false, {}},
        {"partial target", true, partial},
        {"partial target ending inside the literal", true, intoLiteral},
        {"empty target", true, {}},
        {"verified target", true, v.newVersion},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), v.oldVersion));
        if (c.target) {
            ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), c.targetContents));
        }
        EXPECT_TRUE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.newVersion);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
}

// What a power cut leaves of a rebuild that was never flushed: the length
// the file system had recorded, with all or part of the data read back as
// zeros, or the file cut back short. Each is healed like a killed run's.
TEST(Heal, RebuildThatAPowerCutZeroedOrCutShortIsHealed) {
    FileVersions v = Versions();
    ByteVector zeros(v.newVersion.size(), 0);
    ByteVector zeroTail = v.newVersion;
    std::fill(zeroTail.begin() + 40000, zeroTail.end(), 0);
    ByteVector zeroHole(v.newVersion.begin(), v.newVersion.begin() + 65000);
    std::fill(zeroHole.begin() + 8192, zeroHole.begin() + 3 * 8192, 0);
    ByteVector someZeros(4096, 0);
    const std::pair<const char*, ByteVector> cases[] = {
        {"all zeros at the full length", zeros},
        {"zeros after the flushed part", zeroTail},
        {"a block of zeros inside, cut short", zeroHole},
        {"a short run of zeros", someZeros},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), v.oldVersion));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), c.second));
        EXPECT_TRUE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.newVersion);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
}

// A file already up to date is renamed for the source test as well; a kill
// there leaves the new version under the backup name.
TEST(Heal, BackupHoldingTheNewVersionIsPutBack) {
    FileVersions v = Versions();
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("course")));
    ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), v.newVersion));
    EXPECT_TRUE(ApplyRecord(v.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.newVersion);
    EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
}

// Any other backup beside a file is the user's business: the rules without
// healing hold.
TEST(Heal, OtherBackupsAreLeftAlone) {
    FileVersions v = Versions();
    ByteVector stranger = RandomBytes(500, 13);
    {
        SCOPED_TRACE("beside the old version: the rename fails");
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), v.oldVersion));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), stranger));
        EXPECT_FALSE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.oldVersion);
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin.bak")), stranger);
    }
    {
        SCOPED_TRACE("an empty backup is not the old version of a non-empty file");
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), v.oldVersion));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), {}));
        EXPECT_FALSE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.oldVersion);
    }
}

// Nothing under the target name: whatever the backup holds was the file
// before a killed run renamed it aside (for the source test of a version no
// record knows, or a roll-back cut between its delete and its rename). It is
// put back first, then the record judges it as it would have.
TEST(Heal, BackupAloneIsPutBackWhateverItHolds) {
    FileVersions v = Versions();
    ByteVector changed = RandomBytes(60000, 14);
    // Without SkipSourceMismatch the file put back fails the record, as the
    // same file would have without the kill; it stays under its own name.
    for (int32_t flags : {3, 1}) {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), changed));
        EXPECT_EQ(ApplyRecord(v.record, dir.Install(), flags), (flags & SkipSourceMismatch) != 0);
        EXPECT_EQ(FilesUnder(dir.path), std::vector<std::string>{"course/OVAL.bin"});
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), changed);
    }
}

// A backup of the record's old version goes back over the file under the
// target name only when that file is the start of this record's rebuild (the
// output of a killed run); any other file there is the user's, and neither
// file is touched.
TEST(Heal, MatchingBackupStaysBesideAFileThatIsNotItsRebuild) {
    FileVersions v = Versions();
    ByteVector oneByteOff = v.newVersion;
    oneByteOff[60000] ^= 1; // inside the literal chunk
    ByteVector copyOff(v.newVersion.begin(), v.newVersion.begin() + 30000);
    copyOff[100] ^= 0x80; // inside the copy chunk
    ByteVector longer = v.newVersion;
    longer.push_back('!');
    ByteVector replaced = RandomBytes(5000, 15);
    // Zeros stand for lost bytes only within the rebuild's length.
    ByteVector zerosTooLong(v.newVersion.size() + 1, 0);
    for (const ByteVector* present : {&oneByteOff, &copyOff, &longer, &replaced, &zerosTooLong}) {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), v.oldVersion));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), *present));
        EXPECT_FALSE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), *present);
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin.bak")), v.oldVersion);
    }
}

// One file, two older versions, two records: a backup of either version is
// healed by the record that knows it, and passed over by the other.
TEST(Heal, TwoRecordsForOneFile) {
    ByteVector versionA = RandomBytes(40000, 21);
    ByteVector versionB = RandomBytes(41000, 22);
    ByteVector target = RandomBytes(45000, 23);
    ByteVector recordA = PatchRecordFor("course\\OVAL.bin", versionA, target);
    ByteVector recordB = PatchRecordFor("course\\OVAL.bin", versionB, target);
    for (const ByteVector* left : {&versionA, &versionB, &target}) {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), *left));
        EXPECT_TRUE(ApplyRecord(recordA, dir.Install()));
        EXPECT_TRUE(ApplyRecord(recordB, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), target);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
}

// Killed after one record had verified the file and before it deleted its
// backup: the other record for the same file must not fail on that backup.
TEST(Heal, BackupOfTheOtherVersionBesideTheVerifiedFile) {
    ByteVector versionA = RandomBytes(40000, 21);
    ByteVector versionB = RandomBytes(41000, 22);
    ByteVector target = RandomBytes(45000, 23);
    ByteVector recordA = PatchRecordFor("course\\OVAL.bin", versionA, target);
    ByteVector recordB = PatchRecordFor("course\\OVAL.bin", versionB, target);
    for (const ByteVector* left : {&versionA, &versionB}) {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), target));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), *left));
        EXPECT_TRUE(ApplyRecord(recordA, dir.Install()));
        EXPECT_TRUE(ApplyRecord(recordB, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), target);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
    // A backup that no record knows stays beside the finished file.
    ScratchDir dir;
    ByteVector stranger = RandomBytes(500, 24);
    ASSERT_TRUE(MakeDirectory(dir.At("course")));
    ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), target));
    ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), stranger));
    EXPECT_TRUE(ApplyRecord(recordA, dir.Install()));
    EXPECT_TRUE(ApplyRecord(recordB, dir.Install()));
    EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), target);
    EXPECT_EQ(Contents(dir.At("course\\OVAL.bin.bak")), stranger);
}

// A matching backup that cannot be put back fails the record and stays.
TEST(Heal, BackupThatCannotBePutBackFailsTheRecord) {
    FileVersions v = Versions();
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("course")));
    ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin.bak"), v.oldVersion));
    // A directory under the target name survives the forced delete.
    ASSERT_TRUE(MakeDirectory(dir.At("course\\OVAL.bin")));
    ASSERT_TRUE(WriteText(dir.At("course\\OVAL.bin\\keep.txt"), "x"));
    EXPECT_FALSE(ApplyRecord(v.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("course\\OVAL.bin.bak")), v.oldVersion);
    EXPECT_TRUE(Exists(dir.At("course\\OVAL.bin\\keep.txt")));
}
