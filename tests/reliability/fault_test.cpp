// Faults on real file systems, POSIX: a disk that fills up during a rebuild
// (a small tmpfs, or a file size limit where nothing can be mounted), a
// read-only file system, read-only files, directories in the way, and a
// target that vanishes between the existence test and the rename.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/crc32_stream.h"
#include "payload/archive_writer.h"
#include "payload/patch_worker.h"
#include "tests/support/records.h"

using namespace testsupport;

// Fault seams: the engine's renames go through renameat2, its deletes
// through unlink and its flushes through fsync; the hooks run before the
// real call (and after it, for renames). A hook that returns true fails the
// call with EIO instead.
static std::function<void(const char*, const char*)> g_beforeRename;
static std::function<void(const char*, const char*, int)> g_afterRename;

extern "C" int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath,
                         unsigned int flags) noexcept {
    typedef int (*RenameAt2)(int, const char*, int, const char*, unsigned int);
    static RenameAt2 real = reinterpret_cast<RenameAt2>(dlsym(RTLD_NEXT, "renameat2"));
    if (g_beforeRename) {
        g_beforeRename(oldPath, newPath);
    }
    int result = real(oldDir, oldPath, newDir, newPath, flags);
    if (g_afterRename) {
        g_afterRename(oldPath, newPath, result);
    }
    return result;
}

static std::function<bool(const char*)> g_failUnlink;
static std::function<bool(int)> g_failFsync;

extern "C" int unlink(const char* path) noexcept {
    typedef int (*Unlink)(const char*);
    static Unlink real = reinterpret_cast<Unlink>(dlsym(RTLD_NEXT, "unlink"));
    if (g_failUnlink && g_failUnlink(path)) {
        errno = EIO;
        return -1;
    }
    return real(path);
}

extern "C" int fsync(int descriptor) {
    typedef int (*Fsync)(int);
    static Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    if (g_failFsync && g_failFsync(descriptor)) {
        errno = EIO;
        return -1;
    }
    return real(descriptor);
}

namespace {

std::string Native(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

// A tmpfs of the given size mounted on a fresh directory, or nothing when
// this process may not mount (not root, no CAP_SYS_ADMIN, inside a sandbox).
struct SmallDisk {
    ScratchDir scratch;
    std::string path = scratch.path;
    bool mounted = false;
    explicit SmallDisk(const char* size) {
        if (path.empty()) {
            return;
        }
        std::string options = std::string("size=") + size;
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    bool MakeReadOnly() {
        return mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~SmallDisk() {
        if (mounted) {
            umount2(path.c_str(), MNT_DETACH);
        }
    }
    std::string At(const std::string& relative) const { return path + "\\" + relative; }
    std::string Install() const { return path + "\\"; }
};

// A rebuild whose new file (twice the old one) does not fit the disk.
struct GrowingFile {
    ByteVector oldVersion = RandomBytes(96 * 1024, 31);
    ByteVector newVersion;
    ByteVector record;
    GrowingFile() {
        newVersion = oldVersion;
        newVersion.insert(newVersion.end(), oldVersion.begin(), oldVersion.end());
        BeginRecord(&record, OpPatch, CrcOf(oldVersion), CrcOf(newVersion), "CAR\\NR33.bin");
        AppendCopyChunk(&record, 0, static_cast<uint32_t>(oldVersion.size()));
        AppendCopyChunk(&record, 0, static_cast<uint32_t>(oldVersion.size()));
    }
};

// What became of the record, applied with the worker's flags.
RecordReport Applied(const ByteVector& record, const std::string& install) {
    RecordReport report;
    ApplyPatchRecordReported(record.data(), static_cast<int32_t>(record.size()), install.c_str(),
                             kPatchWorkerFlags, &report);
    return report;
}

int32_t RunWorker(const std::string& archive, const std::string& install) {
    char directory[kPathSize];
    std::snprintf(directory, sizeof directory, "%s", install.c_str());
    PatchJob job{archive.c_str(), directory};
    ResetPatchPhase();
    PatchWorker(&job);
    return ObserveStatus(&PatchStatus);
}

} // namespace

// The disk fills up while the new file is written: the write results are not
// looked at, the read-back catches the short file, the old one comes back.
TEST(FullDisk, RebuildOnATinyFileSystemRollsBack) {
    SmallDisk disk("256k");
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a tmpfs here; FileSizeLimit covers the case";
    }
    GrowingFile file;
    ASSERT_TRUE(MakeDirectory(disk.At("CAR")));
    ASSERT_TRUE(WriteFile(disk.At("CAR\\NR33.bin"), file.oldVersion));
    EXPECT_FALSE(ApplyRecord(file.record, disk.Install()));
    EXPECT_EQ(Contents(disk.At("CAR\\NR33.bin")), file.oldVersion);
    EXPECT_EQ(FilesUnder(disk.path), std::vector<std::string>{"CAR/NR33.bin"});

    // A written file that does not fit stays as far as it got, by the rules.
    ByteVector big = RandomBytes(300 * 1024, 32);
    EXPECT_FALSE(ApplyRecord(WriteRecord("racetex\\big.tex", big), disk.Install()));
    EXPECT_LT(Contents(disk.At("racetex\\big.tex")).size(), big.size());
    EXPECT_EQ(Contents(disk.At("CAR\\NR33.bin")), file.oldVersion);
}

// Through the worker: the records before the full disk stay applied, the one
// that hit it is rolled back, the walk stops there.
TEST(FullDisk, WorkerStopsAtTheRecordThatDoesNotFit) {
    SmallDisk disk("256k");
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    GrowingFile file;
    ByteVector font = RandomBytes(4000, 33);
    ByteVector later = RandomBytes(100, 34);
    ByteVector first = WriteRecord("font\\font_02.fnt", font);
    ByteVector third = WriteRecord("readme.txt", later);
    ASSERT_TRUE(MakeDirectory(disk.At("CAR")));
    ASSERT_TRUE(WriteFile(disk.At("CAR\\NR33.bin"), file.oldVersion));
    // The archive itself lives elsewhere, as the temporary file does.
    ScratchDir temp;
    std::string archive = temp.At("vnp1.tmp");
    ASSERT_TRUE(WriteFile(
        archive,
        BuildArchive({{"00000.pat", &first}, {"00001.pat", &file.record}, {"00002.pat", &third}})));
    EXPECT_EQ(RunWorker(archive, disk.path), kStatusFailed);
    EXPECT_EQ(PatchProgressCounters.index.load(), 1);
    EXPECT_EQ(Contents(disk.At("font\\font_02.fnt")), font);
    EXPECT_EQ(Contents(disk.At("CAR\\NR33.bin")), file.oldVersion);
    EXPECT_EQ(FilesUnder(disk.path),
              (std::vector<std::string>{"CAR/NR33.bin", "font/font_02.fnt"}));
}

// The same fault without a mount: a file size limit in a child process makes
// every write past it fail (SIGXFSZ ignored, so writes just come up short).
TEST(FullDisk, FileSizeLimit) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {150 * 1024, 150 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ApplyRecord(file.record, dir.Install()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.oldVersion);
    EXPECT_EQ(FilesUnder(dir.path), std::vector<std::string>{"CAR/NR33.bin"});
}

// A file system mounted read-only: nothing can be renamed, written or
// deleted, and nothing changes.
TEST(ReadOnly, FileSystem) {
    SmallDisk disk("1m");
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    GrowingFile file;
    ASSERT_TRUE(MakeDirectory(disk.At("CAR")));
    ASSERT_TRUE(WriteFile(disk.At("CAR\\NR33.bin"), file.oldVersion));
    ASSERT_TRUE(WriteText(disk.At("readme.txt"), "old"));
    ASSERT_TRUE(disk.MakeReadOnly());
    EXPECT_FALSE(ApplyRecord(file.record, disk.Install()));
    EXPECT_FALSE(ApplyRecord(WriteRecord("readme.txt", TextBytes("new")), disk.Install()));
    EXPECT_FALSE(ApplyRecord(WriteRecord("font\\new.fnt", TextBytes("new")), disk.Install()));
    EXPECT_TRUE(ApplyRecord(DeleteRecord("readme.txt"), disk.Install()));
    EXPECT_EQ(Contents(disk.At("CAR\\NR33.bin")), file.oldVersion);
    EXPECT_EQ(Contents(disk.At("readme.txt")), TextBytes("old"));
    EXPECT_EQ(FilesUnder(disk.path), (std::vector<std::string>{"CAR/NR33.bin", "readme.txt"}));
}

// Read-only files: a rebuild renames the file aside and writes a new one (the
// backup's attributes are cleared when it goes), a write is refused by the
// plain delete, a delete clears the attribute first.
TEST(ReadOnly, Files) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    ASSERT_TRUE(WriteText(dir.At("readme.txt"), "old"));
    ASSERT_TRUE(WriteText(dir.At("gone.txt"), "old"));
    for (const char* name : {"CAR\\NR33.bin", "readme.txt", "gone.txt"}) {
        ASSERT_TRUE(PlatformSetReadOnly(dir.At(name).c_str()));
    }
    EXPECT_TRUE(ApplyRecord(file.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.newVersion);
    EXPECT_FALSE(ApplyRecord(WriteRecord("readme.txt", TextBytes("new")), dir.Install()));
    EXPECT_EQ(Contents(dir.At("readme.txt")), TextBytes("old"));
    EXPECT_TRUE(ApplyRecord(DeleteRecord("gone.txt"), dir.Install()));
    EXPECT_EQ(FilesUnder(dir.path), (std::vector<std::string>{"CAR/NR33.bin", "readme.txt"}));
}

// Something other than a plain file stands where OpenForWrite needs a folder
// or a file, or where the rebuild needs its backup name.
TEST(InTheWay, DirectoriesAndFiles) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    ASSERT_TRUE(MakeDirectory(dir.At("MENUDATA")));
    ASSERT_TRUE(WriteText(dir.At("MENUDATA\\font"), "a file where a folder goes"));
    ASSERT_TRUE(MakeDirectory(dir.At("racetex")));
    ASSERT_TRUE(WriteText(dir.At("racetex\\keep.tex"), "kept"));

    // A file where a folder of the path goes.
    EXPECT_FALSE(ApplyRecord(WriteRecord("MENUDATA\\font\\f.fnt", TextBytes("x")), dir.Install()));
    EXPECT_EQ(Contents(dir.At("MENUDATA\\font")), TextBytes("a file where a folder goes"));
    // A folder under the name of the file to write.
    EXPECT_FALSE(ApplyRecord(WriteRecord("racetex", TextBytes("x")), dir.Install()));
    EXPECT_EQ(Contents(dir.At("racetex\\keep.tex")), TextBytes("kept"));
    // A folder under the backup name: the rename fails, nothing changes.
    ASSERT_TRUE(MakeDirectory(dir.At("CAR\\NR33.bin.bak")));
    EXPECT_FALSE(ApplyRecord(file.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.oldVersion);
    rmdir(Native(dir.At("CAR\\NR33.bin.bak")).c_str());
    EXPECT_EQ(FilesUnder(dir.path),
              (std::vector<std::string>{"CAR/NR33.bin", "MENUDATA/font", "racetex/keep.tex"}));
}

// A folder appears under the target name right after the rename: the output
// cannot be opened, the roll-back cannot put the old file back over the
// folder, so it stays as the backup (and nothing else is lost). The next run
// cannot heal it either while the folder is there, and says so.
TEST(InTheWay, DirectoryAppearsAfterTheRename) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    std::string target = Native(dir.At("CAR\\NR33.bin"));
    g_afterRename = [&](const char* from, const char*, int result) {
        if (result == 0 && target == from) {
            mkdir(target.c_str(), 0777);
        }
    };
    EXPECT_FALSE(ApplyRecord(file.record, dir.Install()));
    g_afterRename = nullptr;
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin.bak")), file.oldVersion);
    EXPECT_FALSE(ApplyRecord(file.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin.bak")), file.oldVersion);
    rmdir(target.c_str());
    // With the folder gone, the next run heals and rebuilds.
    EXPECT_TRUE(ApplyRecord(file.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.newVersion);
    EXPECT_EQ(FilesUnder(dir.path), std::vector<std::string>{"CAR/NR33.bin"});
}

// Another program deletes the target between the existence test and the
// rename: the rename fails, the record fails, nothing is created.
TEST(Vanishing, TargetDeletedBeforeTheRename) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    std::string target = Native(dir.At("CAR\\NR33.bin"));
    g_beforeRename = [&](const char* from, const char*) {
        if (target == from) {
            unlink(from);
        }
    };
    EXPECT_FALSE(ApplyRecord(file.record, dir.Install()));
    g_beforeRename = nullptr;
    EXPECT_TRUE(FilesUnder(dir.path).empty());
}

// A rebuilt file's data must reach the disk before its backup goes: when the
// flush fails, the record fails and the old file is back under its name.
TEST(Durability, FailedFlushPutsTheOldFileBack) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    g_failFsync = [](int) { return true; };
    RecordReport report = Applied(file.record, dir.Install());
    EXPECT_TRUE(OutcomeIsFailure(report.outcome));
    EXPECT_EQ(report.outcome, OutcomeFlushFailed);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.oldVersion);
    // A whole write fails the same way, and is written again next time.
    EXPECT_FALSE(ApplyRecord(WriteRecord("readme.txt", TextBytes("new")), dir.Install()));
    g_failFsync = nullptr;
    EXPECT_EQ(FilesUnder(dir.path), (std::vector<std::string>{"CAR/NR33.bin", "readme.txt"}));
    EXPECT_TRUE(ApplyRecord(WriteRecord("readme.txt", TextBytes("new")), dir.Install()));
    EXPECT_EQ(Contents(dir.At("readme.txt")), TextBytes("new"));
}

// A file of another version goes back under its name after the source test;
// when that rename fails the file is only under its backup name, and the
// record is a failure, not a file passed over.
TEST(Refused, RenameBackAfterTheSourceTestFailsTheRecord) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ByteVector other = RandomBytes(5000, 77);
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), other));
    std::string backup = Native(dir.At("CAR\\NR33.bin.bak"));
    g_beforeRename = [&](const char* from, const char* to) {
        if (backup == from) {
            WriteFile(to, TextBytes("in the way")); // the rename may not replace it
        }
    };
    RecordReport report = Applied(file.record, dir.Install());
    EXPECT_TRUE(OutcomeIsFailure(report.outcome));
    g_beforeRename = nullptr;
    EXPECT_EQ(report.outcome, OutcomeRenameRefused);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin.bak")), other);
}

// A backup that cannot be deleted after its file was rebuilt and verified is
// reported; the next run takes it for an interrupted one and finishes.
TEST(Refused, BackupThatCannotBeDeletedIsReported) {
    GrowingFile file;
    ScratchDir dir;
    ASSERT_TRUE(MakeDirectory(dir.At("CAR")));
    ASSERT_TRUE(WriteFile(dir.At("CAR\\NR33.bin"), file.oldVersion));
    g_failUnlink = [](const char* path) {
        return std::string(path).find(".bak") != std::string::npos;
    };
    RecordReport report = Applied(file.record, dir.Install());
    EXPECT_TRUE(OutcomeIsFailure(report.outcome));
    g_failUnlink = nullptr;
    EXPECT_EQ(report.outcome, OutcomeBackupNotDeleted);
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.newVersion);
    EXPECT_TRUE(ApplyRecord(file.record, dir.Install()));
    EXPECT_EQ(Contents(dir.At("CAR\\NR33.bin")), file.newVersion);
    EXPECT_EQ(FilesUnder(dir.path), std::vector<std::string>{"CAR/NR33.bin"});
}
