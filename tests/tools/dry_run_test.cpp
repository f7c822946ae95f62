// The tools' dry run of the file layer, linked here in place of the
// system's front as vnpatch links it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "tests/support/records.h"
#include "tools/dryrun/dry_run.h"

using namespace testsupport;

// Under a dry run every change is seen by later calls and none reaches the
// disk; ending it leaves no scratch file behind.
TEST(DryRun, ChangesAreSeenButNotMade) {
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteText(dir.At("CAR\\NR33.bin"), "old"));
    ASSERT_TRUE(WriteText(dir.At("CAR\\keep.txt"), "keep"));
    ASSERT_TRUE(WriteText(dir.At("locked.txt"), "locked"));
    ASSERT_TRUE(PlatformSetReadOnly(dir.At("locked.txt").c_str()));
    std::vector<std::string> before = FilesUnder(dir.path);

    ASSERT_TRUE(DryRunBegin());
    EXPECT_FALSE(DryRunBegin());
    const std::string target = dir.At("car\\nr33.BIN");
    const std::string backup = dir.At("CAR\\NR33.bin.bak");
    EXPECT_TRUE(PlatformRename(target.c_str(), backup.c_str()));
    EXPECT_FALSE(FileExists(target.c_str()));
    EXPECT_TRUE(FileExists(backup.c_str()));
    EXPECT_FALSE(PlatformRename(dir.At("CAR\\keep.txt").c_str(), backup.c_str()));
    FILE* out = OpenForWrite(target.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs("new", out);
    std::fclose(out);
    EXPECT_EQ(Contents(target), TextBytes("new"));
    EXPECT_EQ(Contents(backup), TextBytes("old"));
    // One listing of the directory: the new file, the backup, the untouched.
    EXPECT_EQ(EnumerateFiles(dir.At("CAR").c_str(), "*.*", nullptr, 0), 3);
    EXPECT_EQ(EnumerateFiles(dir.At("CAR").c_str(), "*.bak", nullptr, 0), 1);
    DeleteFileForced(backup.c_str());
    EXPECT_FALSE(FileExists(backup.c_str()));
    // New directories, and a read-only file that refuses writes and plain
    // deletes until its attributes are cleared.
    out = OpenForWrite(dir.At("brand\\new\\file.txt").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fclose(out);
    EXPECT_TRUE(FileExists(dir.At("brand\\new\\file.txt").c_str()));
    EXPECT_GE(EnumerateFiles(dir.At("brand\\new").c_str(), "*.*", nullptr, 0), 1);
    EXPECT_EQ(PlatformOpenStream(dir.At("locked.txt").c_str(), "wb"), nullptr);
    PlatformDeleteFile(dir.At("locked.txt").c_str());
    EXPECT_TRUE(FileExists(dir.At("locked.txt").c_str()));
    DeleteFileForced(dir.At("locked.txt").c_str());
    EXPECT_FALSE(FileExists(dir.At("locked.txt").c_str()));
    DryRunEnd();

    EXPECT_EQ(FilesUnder(dir.path), before);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), TextBytes("old"));
    EXPECT_EQ(EnumerateFiles(dir.At("brand").c_str(), "*.*", nullptr, 0), -1);
    PlatformSetAttributesNormal(dir.At("locked.txt").c_str());
}

