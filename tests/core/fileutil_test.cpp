#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>

#include "fileutil/fileutil.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

std::string Dir(const char* path) {
    char out[kPathSize];
    EXPECT_TRUE(DirectoryPart(path, out));
    return out;
}

std::string Name(const char* path) {
    char out[kPathSize];
    EXPECT_TRUE(FileNamePart(path, out));
    return out;
}

std::string Join(const char* directory, const char* name) {
    char out[kPathSize];
    EXPECT_TRUE(JoinPath(directory, name, out));
    return out;
}

std::vector<std::string> g_collected;

// The user value says after how many entries to stop (-1: never).
bool Collect(const char* path, int32_t stopAfter) {
    g_collected.push_back(path);
    return static_cast<int32_t>(g_collected.size()) != stopAfter;
}

} // namespace

TEST(PathSplit, DirectoryAndNameParts) {
    EXPECT_EQ(Dir("C:\\Game\\CAR\\A.bin"), "C:\\Game\\CAR\\");
    EXPECT_EQ(Name("C:\\Game\\CAR\\A.bin"), "A.bin");
    EXPECT_EQ(Dir("C:/Game/A.bin"), "C:/Game/");
    EXPECT_EQ(Dir("a/b\\c"), "a/b\\");
    EXPECT_EQ(Name("a/b\\c"), "c");
    // A separator at index 0 alone is no separator.
    EXPECT_EQ(Dir("A.bin"), "");
    EXPECT_EQ(Name("A.bin"), "A.bin");
    EXPECT_EQ(Dir("\\A.bin"), "");
    EXPECT_EQ(Name("\\A.bin"), "\\A.bin");
    EXPECT_EQ(Dir("C:\\Game\\"), "C:\\Game\\");
    EXPECT_EQ(Name("C:\\Game\\"), "");
}

TEST(PathSplit, OverlongPathsAreRefused) {
    std::string longPath(kPathSize, 'a');
    char out[kPathSize] = "x";
    EXPECT_FALSE(DirectoryPart(longPath.c_str(), out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(FileNamePart(longPath.c_str(), out));
    std::string dir(250, 'd');
    EXPECT_FALSE(JoinPath(dir.c_str(), "0123456789", out));
    EXPECT_TRUE(JoinPath(dir.c_str(), "12345678", out));
    EXPECT_EQ(std::string(out).size(), 259u);
}

TEST(PathSplit, JoinInsertsBackslashOnlyWhenNeeded) {
    EXPECT_EQ(Join("C:\\Game", "*.ptd"), "C:\\Game\\*.ptd");
    EXPECT_EQ(Join("C:\\Game\\", "*.ptd"), "C:\\Game\\*.ptd");
    EXPECT_EQ(Join("C:\\Game/", "*.ptd"), "C:\\Game/*.ptd");
    EXPECT_EQ(Join("", "*.ptd"), "*.ptd");
}

TEST(PathSplit, CutAtLastBackslash) {
    char path[kPathSize] = "C:\\Games\\Varnelo\\VRNL.exe";
    CutAtLastBackslash(path);
    EXPECT_STREQ(path, "C:\\Games\\Varnelo");
    char noCut[kPathSize] = "\\VRNL.exe";
    CutAtLastBackslash(noCut);
    EXPECT_STREQ(noCut, "\\VRNL.exe");
    char slash[kPathSize] = "C:/Games/VRNL.exe";
    CutAtLastBackslash(slash);
    EXPECT_STREQ(slash, "C:/Games/VRNL.exe");
}

// "ソ" is 0x83 0x5C and "表" 0x95 0x5C in Shift-JIS: their second byte is
// not a separator.
TEST(PathSplit, ShiftJisTrailBytesAreNotSeparators) {
    PlatformUseShiftJis(true);
    const char* path = "C:\\\x83\x5C\x95\x5C\\A.bin";
    EXPECT_EQ(Dir(path), "C:\\\x83\x5C\x95\x5C\\");
    EXPECT_EQ(Name(path), "A.bin");
    EXPECT_EQ(Dir("C:\\\x83\x5C"), "C:\\");
    EXPECT_EQ(Name("C:\\\x83\x5C"), "\x83\x5C");
    EXPECT_FALSE(EndsWithSeparator("C:\\\x83\x5C", false));
    EXPECT_TRUE(EndsWithSeparator("C:\\\x83\x5C\\", false));
    EXPECT_EQ(Join("C:\\\x95\x5C", "x"), "C:\\\x95\x5C\\x");
    char cut[kPathSize] = "C:\\\x83\x5C\x95\x5C";
    CutAtLastBackslash(cut);
    EXPECT_STREQ(cut, "C:");
    // Single-byte katakana (0xA1-0xDF) are not lead bytes.
    EXPECT_EQ(Dir("C:\\\xB1\\A"), "C:\\\xB1\\");
    PlatformUseShiftJis(false);
}

TEST(Enumerate, CountsFilesAndNonPlainDirectories) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("a.ptd"), "a"));
    ASSERT_TRUE(WriteText(scratch.At("B.PTD"), "b"));
    ASSERT_TRUE(WriteText(scratch.At("c.txt"), "c"));
    ASSERT_TRUE(MakeDirectory(scratch.At("sub.ptd")));
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.ptd", nullptr, 0), 2);
    EXPECT_EQ(EnumerateFiles(scratch.Install().c_str(), "*.*", nullptr, 0), 3);
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "?.txt", nullptr, 0), 1);
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.none", nullptr, 0), -1);
    EXPECT_EQ(EnumerateFiles(scratch.At("missing").c_str(), "*.*", nullptr, 0), -1);
    // A read-only directory is not a plain directory: it is counted.
    if (ReadOnlyDirectoriesShow()) {
        ASSERT_TRUE(PlatformSetReadOnly(scratch.At("sub.ptd").c_str()));
        EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.ptd", nullptr, 0), 3);
        PlatformSetAttributesNormal(scratch.At("sub.ptd").c_str());
    }

    ScratchDir onlyDirs;
    ASSERT_TRUE(MakeDirectory(onlyDirs.At("d1")));
    EXPECT_EQ(EnumerateFiles(onlyDirs.path.c_str(), "*", nullptr, 0), 0);
}

TEST(Enumerate, CallbackGetsFullPathsAndCanStop) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("one.ptd"), "1"));
    ASSERT_TRUE(WriteText(scratch.At("two.ptd"), "2"));
    g_collected.clear();
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.ptd", Collect, -1), 2);
    ASSERT_EQ(g_collected.size(), 2u);
    for (const std::string& path : g_collected) {
        EXPECT_TRUE(path == scratch.At("one.ptd") || path == scratch.At("two.ptd")) << path;
    }
    g_collected.clear();
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.ptd", Collect, 1), 1);
    EXPECT_EQ(g_collected.size(), 1u);
}

TEST(Enumerate, DeleteEnumeratedFileRemovesReadOnlyMatchesOnly) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("old.ptd"), "1"));
    ASSERT_TRUE(WriteText(scratch.At("locked.ptd"), "2"));
    ASSERT_TRUE(PlatformSetReadOnly(scratch.At("locked.ptd").c_str()));
    ASSERT_TRUE(WriteText(scratch.At("keep.txt"), "3"));
    ASSERT_TRUE(MakeDirectory(scratch.At("sub")));
    ASSERT_TRUE(WriteText(scratch.At("sub\\deep.ptd"), "4"));
    EXPECT_EQ(EnumerateFiles(scratch.path.c_str(), "*.ptd", DeleteEnumeratedFile, 0), 2);
    EXPECT_FALSE(Exists(scratch.At("old.ptd")));
    EXPECT_FALSE(Exists(scratch.At("locked.ptd")));
    EXPECT_TRUE(Exists(scratch.At("keep.txt")));
    EXPECT_TRUE(Exists(scratch.At("sub\\deep.ptd")));
}

TEST(Exists, FilesPatternsAndDirectories) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("x.ptd"), "x"));
    ASSERT_TRUE(MakeDirectory(scratch.At("dir")));
    EXPECT_TRUE(FileExists(scratch.At("x.ptd").c_str()));
    EXPECT_TRUE(FileExists(scratch.At("X.PTD").c_str()));
    EXPECT_TRUE(FileExists(scratch.At("*.ptd").c_str()));
    EXPECT_FALSE(FileExists(scratch.At("dir").c_str()));
    EXPECT_FALSE(FileExists(scratch.At("y.ptd").c_str()));
    EXPECT_FALSE(FileExists(scratch.At("nodir\\x.ptd").c_str()));
}

TEST(ReadWhole, EmptyMissingAndContents) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("empty"), ""));
    unsigned char* buffer = nullptr;
    ASSERT_EQ(ReadWholeFile(&buffer, scratch.At("empty").c_str()), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], 0);
    std::free(buffer);
    buffer = nullptr;
    EXPECT_EQ(ReadWholeFile(&buffer, scratch.At("missing").c_str()), -1);
    EXPECT_EQ(buffer, nullptr);
    ByteVector data = RandomBytes(100000, 3);
    ASSERT_TRUE(WriteFile(scratch.At("data"), data));
    ASSERT_EQ(ReadWholeFile(&buffer, scratch.At("data").c_str()), 100000);
    EXPECT_EQ(ByteVector(buffer, buffer + 100000), data);
    EXPECT_EQ(buffer[100000], 0);
    std::free(buffer);
}

TEST(OpenWrite, CreatesMissingDirectories) {
    ScratchDir scratch;
    FILE* file = OpenForWrite(scratch.At("NEW\\SUB\\f.bin").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("data", file);
    std::fclose(file);
    ByteVector bytes;
    ASSERT_TRUE(ReadFile(scratch.At("NEW\\SUB\\f.bin"), &bytes));
    EXPECT_EQ(bytes, TextBytes("data"));
    // Mixed separators: "/" in the name works like "\".
    file = OpenForWrite(scratch.At("A/B\\c.bin").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(Exists(scratch.At("A\\B\\c.bin")));
}

TEST(OpenWrite, FileInTheWayOfADirectory) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("NEW"), "file"));
    EXPECT_EQ(OpenForWrite(scratch.At("NEW\\SUB\\f.bin").c_str(), "wb"), nullptr);
    EXPECT_EQ(EnumerateFiles(scratch.At("NEW").c_str(), "*.*", nullptr, 0), -1);
    ByteVector bytes;
    ASSERT_TRUE(ReadFile(scratch.At("NEW"), &bytes));
    EXPECT_EQ(bytes, TextBytes("file"));
}

TEST(OpenWrite, ReplacesFilesButNotReadOnlyOnes) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("f.bin"), "old contents"));
    FILE* file = OpenForWrite(scratch.At("f.bin").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ByteVector bytes;
    ASSERT_TRUE(ReadFile(scratch.At("f.bin"), &bytes));
    EXPECT_TRUE(bytes.empty());

    if (!ReadOnlyIsEnforced()) {
        GTEST_SKIP() << "this platform lets read-only files be opened for writing";
    }
    ASSERT_TRUE(WriteText(scratch.At("ro.bin"), "keep"));
    ASSERT_TRUE(PlatformSetReadOnly(scratch.At("ro.bin").c_str()));
    EXPECT_EQ(OpenForWrite(scratch.At("ro.bin").c_str(), "wb"), nullptr);
    ASSERT_TRUE(ReadFile(scratch.At("ro.bin"), &bytes));
    EXPECT_EQ(bytes, TextBytes("keep"));
}

TEST(Delete, ForcedDeleteClearsReadOnly) {
    ScratchDir scratch;
    DeleteFileForced("");
    ASSERT_TRUE(WriteText(scratch.At("ro.bin"), "x"));
    ASSERT_TRUE(PlatformSetReadOnly(scratch.At("ro.bin").c_str()));
    PlatformDeleteFile(scratch.At("ro.bin").c_str());
    EXPECT_TRUE(Exists(scratch.At("ro.bin")));
    DeleteFileForced(scratch.At("ro.bin").c_str());
    EXPECT_FALSE(Exists(scratch.At("ro.bin")));
}

TEST(Platform, RenameNeverReplaces) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteText(scratch.At("a"), "a"));
    ASSERT_TRUE(WriteText(scratch.At("b"), "b"));
    EXPECT_FALSE(PlatformRename(scratch.At("a").c_str(), scratch.At("b").c_str()));
    EXPECT_FALSE(PlatformRename(scratch.At("a").c_str(), scratch.At("B").c_str()));
    EXPECT_TRUE(PlatformRename(scratch.At("a").c_str(), scratch.At("c").c_str()));
    ByteVector bytes;
    ASSERT_TRUE(ReadFile(scratch.At("b"), &bytes));
    EXPECT_EQ(bytes, TextBytes("b"));
    EXPECT_FALSE(Exists(scratch.At("a")));
}

TEST(Platform, NamesMatchWithoutRegardToCase) {
    ScratchDir scratch;
    ASSERT_TRUE(MakeDirectory(scratch.At("Course")));
    ASSERT_TRUE(WriteText(scratch.At("Course\\Oval.BIN"), "oval"));
    ByteVector bytes;
    ASSERT_TRUE(ReadFile(scratch.At("COURSE\\oval.bin"), &bytes));
    EXPECT_EQ(bytes, TextBytes("oval"));
    EXPECT_TRUE(FileExists(scratch.At("course\\OVAL.bin").c_str()));
}

#ifndef _WIN32
// A symbolic link in the installation is removed as a name of its own: the
// forced deletes never reset the mode of the file it points to, which may lie
// outside the installation. (Windows has no such links in installations; the
// Win32 backend resets attributes without following reparse points.)
TEST(Links, ForcedDeletesRemoveTheLinkAndLeaveItsTarget) {
    ScratchDir outside;
    ScratchDir inst;
    std::string target = outside.path + "/outside.txt";
    ASSERT_TRUE(WriteText(target, "outside"));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    auto expectTargetUntouched = [&](const char* what) {
        struct stat info;
        ASSERT_EQ(stat(target.c_str(), &info), 0) << what;
        EXPECT_EQ(info.st_mode & 07777, 0444u) << what;
        EXPECT_EQ(Contents(target), TextBytes("outside")) << what;
        chmod(target.c_str(), 0444); // each case starts read-only
    };
    auto link = [&](const char* name) {
        ASSERT_EQ(symlink(target.c_str(), (inst.path + "/" + name).c_str()), 0);
    };

    link("a.bin");
    DeleteFileForced(inst.At("a.bin").c_str());
    expectTargetUntouched("DeleteFileForced");
    link("b.ptd");
    EXPECT_EQ(EnumerateFiles(inst.path.c_str(), "*.ptd", DeleteEnumeratedFile, 0), 1);
    expectTargetUntouched("DeleteEnumeratedFile");
    link("c.bin");
    EXPECT_TRUE(ApplyRecord(DeleteRecord("c.bin"), inst.Install()));
    expectTargetUntouched("OpDelete");
    // A rebuild renames the link aside, reads through it, writes a plain new
    // file and deletes the link as its backup.
    link("d.bin");
    EXPECT_TRUE(ApplyRecord(PatchRecordFor("d.bin", TextBytes("outside"), TextBytes("rebuilt")),
                            inst.Install()));
    expectTargetUntouched("backup of a rebuild");
    EXPECT_EQ(Contents(inst.At("d.bin")), TextBytes("rebuilt"));
    EXPECT_EQ(FilesUnder(inst.path), std::vector<std::string>{"d.bin"});
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
}
#endif

TEST(Patterns, WildcardsAndLetterCase) {
    EXPECT_TRUE(MatchesPattern("*.*", "noext"));
    EXPECT_TRUE(MatchesPattern("*.PAT", "00001.pat"));
    EXPECT_TRUE(MatchesPattern("pit?.dat", "PIT7.DAT"));
    EXPECT_FALSE(MatchesPattern("pit?.dat", "pit10.dat"));
    EXPECT_TRUE(MatchesPattern("a*b*c", "aXXbYYc"));
    EXPECT_FALSE(MatchesPattern("a*b*c", "aXXbYY"));
    EXPECT_TRUE(MatchesPattern("*", ""));
}

// Names match by ASCII letter case alone: the 26 letters fold and every other
// byte stays ("@" and "[" beside them, bytes of 0x80 and above).
TEST(Patterns, CaseFoldTouchesAsciiLettersOnly) {
    EXPECT_EQ(FoldCase('A'), 'a');
    EXPECT_EQ(FoldCase('Z'), 'z');
    int changed = 0;
    for (int c = 0; c < 256; ++c) {
        changed += FoldCase(static_cast<unsigned char>(c)) != c ? 1 : 0;
    }
    EXPECT_EQ(changed, 26);
    for (unsigned char c : {'@', '[', '`', '{', 'a', 'z', '0', '\x80', '\xC1', '\xDA', '\xFF'}) {
        EXPECT_EQ(FoldCase(c), c) << int(c);
    }
    char text[] = "CAR\\Nr33.BIN";
    FoldCaseInPlace(text, 5);
    EXPECT_STREQ(text, "car\\nr33.BIN");
    EXPECT_TRUE(SameIgnoringCase("Course\\OVAL.bin", "COURSE\\oval.BIN"));
    EXPECT_FALSE(SameIgnoringCase("oval.bin", "oval.bin.bak"));
    EXPECT_FALSE(SameIgnoringCase("oval.bin.bak", "oval.bin"));
    EXPECT_FALSE(SameIgnoringCase("@[", "`{"));
}

TEST(TempDirectory, IsMadeEmptyAndRemoved) {
    char made[kPathSize];
    ASSERT_TRUE(PlatformMakeTempDirectory(made, sizeof made));
    // A directory lists at least "." and ".."; a missing one lists nothing.
    EXPECT_EQ(EnumerateFiles(made, "*.*", nullptr, 0), 0);
    EXPECT_TRUE(PlatformRemoveDirectory(made));
    EXPECT_EQ(EnumerateFiles(made, "*.*", nullptr, 0), -1);
}
