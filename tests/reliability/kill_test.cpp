// Interrupted updates: `vnpatch apply` killed with SIGKILL at random times and
// before chosen file operations, on an archive of multi-megabyte rebuilds,
// writes and a file with two older versions. The next run must always end
// with every file at its target checksum and no backup left.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "fileutil/fileutil.h"
#include "patch/crc32_stream.h"
#include "tests/reliability/shim_runs.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

#ifdef VARNELO_SANITIZED
constexpr size_t kMegabyte = 256 * 1024; // sanitized CRCs are slow
constexpr int kRandomKills = 8;
constexpr int kSweepPoints = 12;
#else
constexpr size_t kMegabyte = 1024 * 1024;
constexpr int kRandomKills = 16;
constexpr int kSweepPoints = 26;
#endif

struct Update {
    Tree installed;                           // relative "\" path -> contents
    std::map<std::string, uint32_t> expected; // relative "/" path -> checksum
    std::string archive;
    std::string install;
};

std::string Slashes(std::string path) {
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

const Update& TheUpdate() {
    static Update update;
    if (!update.archive.empty()) {
        return update;
    }
    std::vector<ByteVector> records;
    auto rebuild = [&](const char* name, size_t size, unsigned seed) {
        ByteVector oldVersion = RandomBytes(size, seed);
        ByteVector newVersion;
        ByteVector record;
        BeginRecord(&record, OpPatch, CrcOf(oldVersion), 0, name);
        AddRebuild(&record, oldVersion, &newVersion, seed + 1000);
        WriteLe32(record.data() + kOffTargetCrc, CrcOf(newVersion));
        update.installed[name] = oldVersion;
        update.expected[Slashes(name)] = CrcOf(newVersion);
        records.push_back(record);
        return newVersion;
    };
    auto write = [&](const char* name, size_t size, unsigned seed, bool existing) {
        ByteVector contents = RandomBytes(size, seed);
        if (existing) {
            update.installed[name] = RandomBytes(size / 2 + 10, seed + 500);
        }
        update.expected[Slashes(name)] = CrcOf(contents);
        records.push_back(WriteRecord(name, contents));
    };
    rebuild("CAR\\NR33.bin", 4 * kMegabyte, 1);
    rebuild("CAR\\S15.bin", 2 * kMegabyte, 2);
    // Two older versions of one file: the installed one is the second.
    ByteVector versionA = RandomBytes(3 * kMegabyte, 3);
    ByteVector target = rebuild("course\\OVAL.bin", 3 * kMegabyte + 7, 4);
    records.push_back(PatchRecordFor("course\\OVAL.bin", versionA, target));
    std::swap(records[records.size() - 1], records[records.size() - 2]);
    rebuild("font\\font_01.mft", 300, 5);
    write("font\\font_05.fnt", kMegabyte / 2, 6, false);
    write("MENUDATA\\LOGO.bmp", kMegabyte, 7, false);
    rebuild("course\\HILL.bin", kMegabyte, 8);
    // A file at a version no record knows (one the user changed): its record
    // renames it aside for the source test and back, and passes it over.
    ByteVector changed = RandomBytes(kMegabyte / 4, 10);
    update.installed["course\\MOD.bin"] = changed;
    update.expected["course/MOD.bin"] = CrcOf(changed);
    records.push_back(PatchRecordFor("course\\MOD.bin", RandomBytes(kMegabyte / 4, 11),
                                     RandomBytes(kMegabyte / 4, 12)));
    write("VRNL.exe", 2 * kMegabyte, 9, true);

    update.archive = MemoryScratch() + "/vnp1.tmp";
    update.install = MemoryScratch() + "/Varnelo";
    EXPECT_TRUE(WriteRecordArchive(update.archive, records));
    return update;
}

void Restore(const Update& update) {
    RemoveTree(update.install);
    ASSERT_TRUE(WriteTree(update.install, update.installed));
}

// Relative "/" path -> checksum of every file under dir.
std::map<std::string, uint32_t> Checksums(const std::string& dir) {
    std::map<std::string, uint32_t> out;
    for (std::string name : FilesUnder(dir)) {
        ByteVector bytes;
        ReadFile(dir + "\\" + name, &bytes);
        out[name] = CrcOf(bytes);
    }
    return out;
}

double Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Runs vnpatch apply; killed after delaySeconds (when >= 0) or by the shim
// before file operation killAt (when > 0), counting only the operations on
// paths that contain killPath when it is given.
ApplyRun RunApply(const Update& update, double delaySeconds, long killAt, const char* countFile,
                  const char* killPath = nullptr) {
    std::map<std::string, std::string> shim;
    if (killAt > 0) {
        shim["AT"] = std::to_string(killAt);
    }
    if (countFile != nullptr) {
        shim["COUNT"] = countFile;
    }
    if (killPath != nullptr) {
        shim["PATH"] = killPath;
    }
    return testsupport::RunApply(update.archive, update.install, shim, delaySeconds);
}

// The run after the kills: complete, every file at its target checksum.
void ExpectHealed(const Update& update, const std::string& what) {
    ApplyRun last = RunApply(update, -1, 0, nullptr);
    EXPECT_FALSE(last.killed) << what;
    EXPECT_EQ(last.exitCode, 0) << what;
    EXPECT_EQ(Checksums(update.install), update.expected) << what;
}

} // namespace

TEST(Kill, UninterruptedRunReachesTheTargets) {
    const Update& update = TheUpdate();
    Restore(update);
    ExpectHealed(update, "plain run");
    // A second run over the updated tree changes nothing.
    ExpectHealed(update, "second run");
}

// Kills at random times within one run's length, now and then a second kill
// in the run that heals; then one run to the end.
TEST(Kill, AtRandomTimes) {
    const Update& update = TheUpdate();
    Restore(update);
    double start = Now();
    ASSERT_EQ(RunApply(update, -1, 0, nullptr).exitCode, 0);
    double length = Now() - start;
    unsigned seed = static_cast<unsigned>(std::time(nullptr));
    SeededRandom random(seed);
    std::uniform_real_distribution<double> when(0.0, length);
    int killed = 0;
    int attempts = kRandomKills;
    for (int i = 0; i < kRandomKills; ++i) {
        Restore(update);
        double delay = when(random);
        killed += RunApply(update, delay, 0, nullptr).killed;
        std::string what = "seed " + std::to_string(seed) + " kill " + std::to_string(i) + " at " +
                           std::to_string(delay) + " s of " + std::to_string(length);
        if (random() % 3 == 0) {
            ++attempts;
            killed += RunApply(update, when(random) / 2, 0, nullptr).killed;
            what += " and again in the healing run";
        }
        ExpectHealed(update, what);
    }
    RecordProperty("run_seconds", std::to_string(length));
    RecordProperty("kills", killed);
    // A kill that comes after the run has ended finds nothing to kill.
    std::printf("run %.3f s; %d of %d kills (%d of them in a healing run) came before the run's "
                "end (seed %u)\n",
                length, killed, attempts, attempts - kRandomKills, seed);
}

// Kills just before chosen file operations (open, write, close, rename,
// delete, make directory), spread over the whole run, some of them again in
// the healing run.
TEST(Kill, BeforeFileOperations) {
    if (!ShimAvailable()) {
        GTEST_SKIP() << "no preload shim in this build";
    }
    const Update& update = TheUpdate();
    Restore(update);
    std::string countFile = MemoryScratch() + "/ops.txt";
    ASSERT_EQ(RunApply(update, -1, 0, countFile.c_str()).exitCode, 0);
    long operations = 0;
    FILE* count = std::fopen(countFile.c_str(), "r");
    ASSERT_NE(count, nullptr);
    ASSERT_EQ(std::fscanf(count, "%ld", &operations), 1);
    std::fclose(count);
    ASSERT_GT(operations, 20);
    long stride = operations / kSweepPoints > 0 ? operations / kSweepPoints : 1;
    // Each run covers another comb of kill points; VARNELO_KILL_ALL=1 takes
    // every operation.
    if (std::getenv("VARNELO_KILL_ALL") != nullptr) {
        stride = 1;
    }
    long first = 1 + static_cast<long>(std::time(nullptr) % stride);
    int points = 0;
    for (long at = first; at <= operations; at += stride) {
        Restore(update);
        ApplyRun run = RunApply(update, -1, at, nullptr);
        EXPECT_TRUE(run.killed) << "operation " << at;
        std::string what =
            "killed before operation " + std::to_string(at) + " of " + std::to_string(operations);
        if (points % 3 == 1) {
            RunApply(update, -1, at / 2 + 1, nullptr);
            what += ", and before operation " + std::to_string(at / 2 + 1) + " of the next run";
        }
        ExpectHealed(update, what);
        ++points;
    }
    std::printf("%ld file operations per run; %d kill points\n", operations, points);
}

// The pass-over file killed between its two renames: only the backup is left,
// and the next runs must put it back rather than take the file for missing.
TEST(Kill, PassOverFileBetweenItsRenames) {
    if (!ShimAvailable()) {
        GTEST_SKIP() << "no preload shim in this build";
    }
    const Update& update = TheUpdate();
    Restore(update);
    // Operation 1 on the file is the rename to MOD.bin.bak, 2 the rename back.
    ApplyRun run = RunApply(update, -1, 2, nullptr, "MOD.bin");
    ASSERT_TRUE(run.killed);
    ASSERT_TRUE(Exists(update.install + "\\course\\MOD.bin.bak"));
    ASSERT_FALSE(Exists(update.install + "\\course\\MOD.bin"));
    ExpectHealed(update, "first run after the kill");
    ExpectHealed(update, "second run after the kill");
}
