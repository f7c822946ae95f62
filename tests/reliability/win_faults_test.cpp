// Faults that need the Windows file services (under Wine here): a target held
// open by another process without sharing, for good or for a moment as a
// virus scanner does, and vnpatch applying a real archive while one of its
// targets is locked.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "patch/apply_record.h"
#include "payload/archive_writer.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

// Opens the file the way another program holding it would: no sharing.
HANDLE Lock(const std::string& path, DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs vnpatch apply in a process of its own; its exit code, or -1.
int RunVnpatchApply(const std::string& archive, const std::string& install) {
    std::string command = "\"" + VnpatchPath() + "\" apply \"" + archive + "\" \"" + install + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::string mutableCommand = command;
    if (!CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// Lets go of a held file after a while, as a scanner does once it has read it.
class BriefHold {
  public:
    BriefHold(HANDLE file, DWORD milliseconds)
        : releaser_([file, milliseconds] {
              Sleep(milliseconds);
              CloseHandle(file);
          }) {}
    ~BriefHold() { releaser_.join(); }

  private:
    std::thread releaser_;
};

constexpr DWORD kScannerShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

} // namespace

// A scanner that holds a file for a moment (sharing reads and writes, not
// deletion) only delays a record: the rename aside and the delete of the
// backup of a rebuild, and a delete record, wait until it lets go.
TEST(Locked, BriefHoldsAreWaitedOut) {
    FileVersions v = MakeVersions("course\\OVAL.bin", 60000, 40000, 25000, 35);
    {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), v.oldVersion));
        HANDLE held = Lock(dir.At("course\\OVAL.bin"), kScannerShare);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        {
            BriefHold release(held, 200);
            EXPECT_TRUE(ApplyRecord(v.record, dir.Install()));
        }
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.newVersion);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
    {
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\old_layout.dat"), RandomBytes(3000, 36)));
        HANDLE held = Lock(dir.At("course\\old_layout.dat"), kScannerShare);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        {
            BriefHold release(held, 200);
            EXPECT_TRUE(ApplyRecord(DeleteRecord("course\\old_layout.dat"), dir.Install()));
        }
        EXPECT_FALSE(Exists(dir.At("course\\old_layout.dat")));
    }
}

// A rebuild whose target another program keeps holding: the rename is
// refused once the wait for it is over, the record fails, and nothing changes
// on disk. Sharing reads is not enough, since the rename needs delete access.
TEST(Locked, RebuildOfAHeldFileFailsAndChangesNothing) {
    FileVersions v = MakeVersions("course\\OVAL.bin", 60000, 40000, 25000, 31);
    for (DWORD share :
         {DWORD(0), DWORD(FILE_SHARE_READ), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        SCOPED_TRACE(share);
        ScratchDir dir;
        ASSERT_TRUE(MakeDirectory(dir.At("course")));
        ASSERT_TRUE(WriteFile(dir.At("course\\OVAL.bin"), v.oldVersion));
        HANDLE held = Lock(dir.At("course\\OVAL.bin"), share);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(ApplyRecord(v.record, dir.Install()));
        CloseHandle(held);
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.oldVersion);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
        // Once the other program lets go, the same record applies.
        EXPECT_TRUE(ApplyRecord(v.record, dir.Install()));
        EXPECT_EQ(Contents(dir.At("course\\OVAL.bin")), v.newVersion);
        EXPECT_FALSE(Exists(dir.At("course\\OVAL.bin.bak")));
    }
}

// A whole write over a held file: the delete and the open are refused, the
// record fails, the file keeps its contents.
TEST(Locked, WriteOverAHeldFileFails) {
    ScratchDir dir;
    ByteVector before = RandomBytes(3000, 33);
    ByteVector after = RandomBytes(5000, 34);
    ASSERT_TRUE(MakeDirectory(dir.At("racetex")));
    ASSERT_TRUE(WriteFile(dir.At("racetex\\sky.tex"), before));
    HANDLE held = Lock(dir.At("racetex\\sky.tex"), 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ApplyRecord(WriteRecord("racetex\\sky.tex", after), dir.Install()));
    CloseHandle(held);
    EXPECT_EQ(Contents(dir.At("racetex\\sky.tex")), before);
}

// vnpatch (another process) applies an archive while this process holds the
// third target: the first two stay applied, the run fails at entry 2, the held
// file is untouched and no backup is left; released, a second run finishes.
TEST(Locked, VnpatchStopsAtTheHeldFileAndASecondRunFinishes) {
    ScratchDir dir;
    ScratchDir work;
    const char* names[3] = {"CAR\\A.bin", "CAR\\B.bin", "CAR\\C.bin"};
    ByteVector olds[3];
    ByteVector news[3];
    ByteVector records[3];
    std::vector<ArchiveEntry> entries;
    const char* entryNames[3] = {"00000.pat", "00001.pat", "00002.pat"};
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    for (int i = 0; i < 3; ++i) {
        olds[i] = RandomBytes(20000 + 1000 * i, 40 + i);
        news[i] = olds[i];
        ByteVector tail = RandomBytes(7000, 50 + i);
        news[i].insert(news[i].end(), tail.begin(), tail.end());
        records[i] = PatchRecordFor(names[i], olds[i], news[i]);
        entries.push_back({entryNames[i], &records[i]});
        ASSERT_TRUE(WriteFile(dir.At(names[i]), olds[i]));
    }
    std::string archive = work.At("patch.cf00");
    ASSERT_TRUE(WriteFile(archive, SzddLiteralsOnly(BuildArchive(entries))));

    HANDLE held = Lock(dir.At(names[2]), 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunVnpatchApply(archive, dir.path), 1);
    CloseHandle(held);
    EXPECT_EQ(Contents(dir.At(names[0])), news[0]);
    EXPECT_EQ(Contents(dir.At(names[1])), news[1]);
    EXPECT_EQ(Contents(dir.At(names[2])), olds[2]);
    EXPECT_FALSE(Exists(dir.At("CAR\\C.bin.bak")));

    EXPECT_EQ(RunVnpatchApply(archive, dir.path), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Contents(dir.At(names[i])), news[i]) << names[i];
    }
}
