// Power failures during `vnpatch apply`. The run is cut before each of its
// file operations in turn, and once after its end; at the cut every file
// loses what it received since its last fsync, as a power failure loses it,
// while creations, renames and deletes stand (the preload shim does this,
// in two ways: the lost bytes read as zeros, or the file is cut short). Then
// the update is applied again. That run must complete it: exit 0, every file
// at its new version and no backup left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "patch/crc32_stream.h"
#include "tests/reliability/shim_runs.h"
#include "tests/support/records.h"

using namespace testsupport;

namespace {

#ifdef VARNELO_SANITIZED
constexpr long kStride = 5; // every 5th cut point (and the last): a sanitized run is slow
#else
constexpr long kStride = 1;
#endif
// Runs at once: each mostly waits for vnpatch's 100 ms poll of its worker.
constexpr int kWorkers = 4;
constexpr size_t kListed = 5; // failed states named per kind
constexpr size_t kKilobyte = 1024;

struct Update {
    Tree installed; // relative "/" name -> contents
    Tree updated;   // the same after a complete run
    std::string archive;
};

std::string Backslashes(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

// About 3 MB in 21 records: rebuilds of files of some hundred kilobytes,
// whole writes of new and of present files, new folders, deletes, two files
// with two older versions each, and a file at a version no record knows.
const Update& TheUpdate() {
    static Update update;
    if (!update.archive.empty()) {
        return update;
    }
    std::vector<ByteVector> records;
    auto rebuild = [&](const std::string& name, size_t size, unsigned seed) {
        ByteVector oldVersion = RandomBytes(size, seed);
        ByteVector newVersion;
        ByteVector record;
        BeginRecord(&record, OpPatch, CrcOf(oldVersion), 0, Backslashes(name).c_str());
        AddRebuild(&record, oldVersion, &newVersion, seed + 1000);
        WriteLe32(record.data() + kOffTargetCrc, CrcOf(newVersion));
        update.installed[name] = oldVersion;
        update.updated[name] = newVersion;
        records.push_back(record);
    };
    // The record for the other older version of a file already added.
    auto otherVersion = [&](const std::string& name, unsigned seed) {
        ByteVector other = RandomBytes(update.installed[name].size() + 11, seed);
        records.push_back(PatchRecordFor(Backslashes(name), other, update.updated[name]));
    };
    auto write = [&](const std::string& name, size_t size, unsigned seed, bool present) {
        if (present) {
            update.installed[name] = RandomBytes(size / 2 + 10, seed + 500);
        }
        update.updated[name] = RandomBytes(size, seed);
        records.push_back(WriteRecord(Backslashes(name), update.updated[name]));
    };
    auto remove = [&](const std::string& name, size_t size, unsigned seed, bool present) {
        if (present) {
            update.installed[name] = RandomBytes(size, seed);
        }
        records.push_back(DeleteRecord(Backslashes(name)));
    };

    rebuild("CAR/NR33.bin", 512 * kKilobyte, 1);
    rebuild("CAR/S15.bin", 384 * kKilobyte, 2);
    // The installed version of OVAL.bin is the second record's.
    rebuild("course/OVAL.bin", 448 * kKilobyte + 7, 3);
    otherVersion("course/OVAL.bin", 4);
    std::swap(records[records.size() - 1], records[records.size() - 2]);
    rebuild("font/font_01.mft", 300, 5);
    write("font/font_05.fnt", 128 * kKilobyte, 6, false);
    write("MENUDATA/LOGO.bmp", 192 * kKilobyte, 7, false);
    rebuild("course/HILL.bin", 320 * kKilobyte, 8);
    remove("save/pit/old.ptd", 20 * kKilobyte, 9, true);
    // Changed by the user: renamed aside for the source test, and back.
    ByteVector changed = RandomBytes(64 * kKilobyte, 10);
    update.installed["course/MOD.bin"] = changed;
    update.updated["course/MOD.bin"] = changed;
    records.push_back(PatchRecordFor("course\\MOD.bin", RandomBytes(64 * kKilobyte, 11),
                                     RandomBytes(64 * kKilobyte, 12)));
    write("VRNL.exe", 320 * kKilobyte, 13, true);
    rebuild("sound/engine.wav", 256 * kKilobyte, 14);
    write("sound/se/horn.wav", 48 * kKilobyte, 15, false);
    remove("readme_old.txt", 0, 16, false);
    write("DATA/table.dat", 24 * kKilobyte, 17, true);
    // The installed version of RING.bin is the first record's.
    rebuild("course/RING.bin", 200 * kKilobyte, 18);
    otherVersion("course/RING.bin", 19);
    remove("course/old_course.bin", 100 * kKilobyte, 20, true);
    rebuild("config/default.cfg", 2 * kKilobyte, 21);
    write("replay/demo.rpl", 40 * kKilobyte, 22, false);
    rebuild("CAR/Z33.bin", 160 * kKilobyte, 23);
    // Never named by a record.
    update.installed["save/user.sav"] = RandomBytes(8 * kKilobyte, 24);
    update.updated["save/user.sav"] = update.installed["save/user.sav"];

    update.archive = MemoryScratch() + "/vnp2.tmp";
    EXPECT_TRUE(WriteRecordArchive(update.archive, records));
    return update;
}

std::string InstallDirectory(int worker) {
    return MemoryScratch() + "/Varnelo" + std::to_string(worker);
}

bool Restore(const Update& update, const std::string& install) {
    RemoveTree(install);
    return WriteTree(install, update.installed);
}

const ByteVector* Find(const Tree& tree, const std::string& name) {
    auto it = tree.find(name);
    return it != tree.end() ? &it->second : nullptr;
}

// Both absent, or both present with the same contents.
bool Same(const ByteVector* a, const ByteVector* b) {
    return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
}

// The first file whose data is gone: neither its old nor its new version
// (absence included), and no backup beside it holds the old one.
std::string LostFile(const Update& update, const Tree& now) {
    std::set<std::string> names;
    for (const auto& file : update.installed) {
        names.insert(file.first);
    }
    for (const auto& file : update.updated) {
        names.insert(file.first);
    }
    for (const std::string& name : names) {
        const ByteVector* before = Find(update.installed, name);
        const ByteVector* found = Find(now, name);
        if (Same(found, before) || Same(found, Find(update.updated, name))) {
            continue;
        }
        if (before == nullptr || !Same(Find(now, name + ".bak"), before)) {
            return name;
        }
    }
    return "";
}

// How now differs from the updated tree, at its first differing file; empty
// when it does not.
std::string Difference(const Tree& updated, const Tree& now) {
    for (const auto& file : now) {
        const ByteVector* wanted = Find(updated, file.first);
        if (wanted == nullptr) {
            return file.first + " left";
        }
        if (*wanted != file.second) {
            return file.first + (file.second.size() == wanted->size()
                                     ? " differs"
                                     : " is " + std::to_string(file.second.size()) + " of " +
                                           std::to_string(wanted->size()) + " bytes");
        }
    }
    for (const auto& file : updated) {
        if (now.count(file.first) == 0) {
            return file.first + " missing";
        }
    }
    return "";
}

// The operations of a run, one "kind path" per line of the shim's log, the
// path relative to the installation.
std::vector<std::string> ReadLog(const std::string& path, const std::string& install) {
    std::vector<std::string> operations;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long number = 0;
        std::string kind;
        std::string file;
        fields >> number >> kind;
        std::getline(fields, file);
        file.erase(0, std::min(file.size(), file.find_first_not_of(' ')));
        if (file.compare(0, install.size() + 1, install + "/") == 0) {
            file = file.substr(install.size() + 1);
        }
        operations.push_back(kind + " " + file);
    }
    return operations;
}

// An uninterrupted run under the shim, counting; its operations, or none when
// it failed or left another tree.
std::vector<std::string> CountedRun(const Update& update, const std::string& install) {
    std::string log = install + ".log";
    if (!Restore(update, install)) {
        return {};
    }
    ApplyRun run = RunApply(update.archive, install, {{"ROOT", install}, {"LOG", log}});
    std::vector<std::string> operations = ReadLog(log, install);
    std::remove(log.c_str());
    if (run.exitCode != 0 || ReadTree(install) != update.updated) {
        return {};
    }
    return operations;
}

// What one cut and the runs after it came to; each text names the state.
struct State {
    std::string notCut;
    std::string lost;
    std::string falseSuccess;
    std::string stuck;
    std::string late;
};

State CutAndReapply(const Update& update, const std::string& install, long cut,
                    const std::vector<std::string>& operations, const std::string& loss) {
    State state;
    long count = static_cast<long>(operations.size());
    std::string where =
        "cut " + std::to_string(cut) +
        (cut <= count ? " before " + operations[static_cast<size_t>(cut - 1)] : " after the end");
    if (!Restore(update, install)) {
        state.notCut = where + ": cannot write the installation";
        return state;
    }
    ApplyRun cutRun = RunApply(update.archive, install,
                               {{"ROOT", install}, {"AT", std::to_string(cut)}, {"LOSS", loss}});
    if (!cutRun.killed) {
        state.notCut =
            where + ": the run was not cut (exit " + std::to_string(cutRun.exitCode) + ")";
        return state;
    }
    bool passed = RunApply(update.archive, install).exitCode == 0;
    bool second = !passed;
    if (second) {
        passed = RunApply(update.archive, install).exitCode == 0;
    }
    Tree now = ReadTree(install);
    std::string lost = LostFile(update, now);
    std::string wrong = Difference(update.updated, now);
    std::string runs =
        passed ? (second ? "; the second run after it passed" : "; the run after it passed")
               : "; both runs after it failed";
    if (!lost.empty()) {
        state.lost = where + ": " + lost + " lost" + runs;
    }
    if (passed && !wrong.empty()) {
        state.falseSuccess = where + ": " + wrong + runs;
    }
    if (!passed) {
        state.stuck = where + (wrong.empty() ? "" : ": " + wrong);
    }
    if (passed && second) {
        state.late = where;
    }
    return state;
}

struct Tally {
    std::vector<std::string> notCut;
    std::vector<std::string> lost;
    std::vector<std::string> falseSuccess;
    std::vector<std::string> stuck;
    std::vector<std::string> late;
};

std::string Listed(const std::vector<std::string>& states) {
    std::string text;
    for (size_t i = 0; i < states.size() && i < kListed; ++i) {
        text += "\n  " + states[i];
    }
    if (states.size() > kListed) {
        text += "\n  ... and " + std::to_string(states.size() - kListed) + " more";
    }
    return text;
}

void Sweep(const std::string& loss) {
    ASSERT_TRUE(ShimAvailable());
    const Update& update = TheUpdate();
    std::vector<std::string> operations = CountedRun(update, InstallDirectory(0));
    ASSERT_GT(operations.size(), 50u) << "the uninterrupted run failed or was not counted";
    long count = static_cast<long>(operations.size());
    // Every operation, and past the last one (the cut as the run exits).
    std::vector<long> cuts;
    long stride = std::getenv("VARNELO_KILL_ALL") != nullptr ? 1 : kStride;
    for (long cut = 1; cut <= count; cut += stride) {
        cuts.push_back(cut);
    }
    cuts.push_back(count + 1);

    std::vector<State> states(cuts.size());
    std::vector<std::future<void>> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(std::async(std::launch::async, [&, w] {
            for (size_t i = static_cast<size_t>(w); i < cuts.size(); i += kWorkers) {
                states[i] = CutAndReapply(update, InstallDirectory(w), cuts[i], operations, loss);
            }
        }));
    }
    for (auto& worker : workers) {
        worker.get();
    }
    Tally tally;
    for (const State& state : states) {
        auto add = [](std::vector<std::string>* to, const std::string& text) {
            if (!text.empty()) {
                to->push_back(text);
            }
        };
        add(&tally.notCut, state.notCut);
        add(&tally.lost, state.lost);
        add(&tally.falseSuccess, state.falseSuccess);
        add(&tally.stuck, state.stuck);
        add(&tally.late, state.late);
    }
    std::printf("power cut (%s): %zu cut points (of %ld operations and the end): %zu lost, %zu "
                "false success, %zu stuck, %zu healed only by a second run\n",
                loss.c_str(), cuts.size(), count, tally.lost.size(), tally.falseSuccess.size(),
                tally.stuck.size(), tally.late.size());
    ::testing::Test::RecordProperty("cut_points", static_cast<int>(cuts.size()));
    ::testing::Test::RecordProperty("lost", static_cast<int>(tally.lost.size()));
    ::testing::Test::RecordProperty("false_success", static_cast<int>(tally.falseSuccess.size()));
    ::testing::Test::RecordProperty("stuck", static_cast<int>(tally.stuck.size()));
    EXPECT_TRUE(tally.notCut.empty()) << "runs the shim did not cut:" << Listed(tally.notCut);
    EXPECT_TRUE(tally.lost.empty()) << "a file's data lost:" << Listed(tally.lost);
    EXPECT_TRUE(tally.falseSuccess.empty())
        << "success reported over an incomplete update:" << Listed(tally.falseSuccess);
    EXPECT_TRUE(tally.stuck.empty()) << "no run after the cut passed:" << Listed(tally.stuck);
    EXPECT_TRUE(tally.late.empty()) << "the first run after the cut failed:" << Listed(tally.late);
}

// ---- The shim's own model, on a writer with known operations ------------

struct ProbeFiles {
    ByteVector inside;
    ByteVector moved;
    ByteVector outside;
    bool killed;
};

ProbeFiles RunProbe(const ShimSettings& extra) {
    ScratchDir scratch(MemoryScratch());
    std::string root = scratch.path + "/root";
    EXPECT_TRUE(MakeDirectory(root));
    ShimSettings shim = extra;
    shim["ROOT"] = root;
    ApplyRun run =
        RunUnderShim({VARNELO_POWER_PROBE, root + "/file", scratch.path + "/outside"}, shim);
    ProbeFiles files;
    files.killed = run.killed;
    ReadFile(root + "/file", &files.inside);
    ReadFile(root + "/file.moved", &files.moved);
    ReadFile(scratch.path + "/outside", &files.outside);
    return files;
}

ByteVector Bytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

TEST(PowerShim, CountsTheOperationsUnderTheRootOnly) {
    ScratchDir scratch(MemoryScratch());
    std::string log = scratch.path + "/ops.log";
    ProbeFiles files = RunProbe({{"LOG", log}});
    EXPECT_FALSE(files.killed);
    EXPECT_EQ(files.moved, Bytes(std::string(1000, 'a') + std::string(100, 'b')));
    std::vector<std::string> kinds;
    for (const std::string& operation : ReadLog(log, "")) {
        kinds.push_back(operation.substr(0, operation.find(' ')));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"open", "write", "flush", "fsync", "write", "close",
                                               "rename"}));
}

// The probe's file at each cut: what it received up to its fsync is kept;
// after that, data that reached the file is lost and data still in the
// stream's buffer never arrives. The file outside the root is never touched.
TEST(PowerShim, LosesWhatWasNotSynced) {
    const std::string a(1000, 'a');
    const std::string zeros(1000, '\0');
    struct Expected {
        long cut;
        const char* loss;
        bool moved;
        std::string contents;
    };
    const Expected table[] = {
        // Before the flush: the 'a's in the stream's buffer.
        {3, "zero", false, ""},
        {3, "short", false, ""},
        // Before the fsync: the 'a's in the file.
        {4, "zero", false, zeros},
        {4, "short", false, ""},
        // Synced; then the 'b's in the buffer.
        {5, "zero", false, a},
        {6, "short", false, a},
        // The 'b's in the file, unsynced.
        {7, "zero", false, a + std::string(100, '\0')},
        {7, "short", false, a},
        // As the run exits, after the rename.
        {8, "zero", true, a + std::string(100, '\0')},
        {8, "short", true, a},
    };
    for (const Expected& expected : table) {
        std::string what = std::string(expected.loss) + " cut " + std::to_string(expected.cut);
        ProbeFiles files =
            RunProbe({{"AT", std::to_string(expected.cut)}, {"LOSS", expected.loss}});
        EXPECT_TRUE(files.killed) << what;
        EXPECT_EQ(expected.moved ? files.moved : files.inside, Bytes(expected.contents)) << what;
        EXPECT_EQ(files.outside, Bytes(a)) << what;
    }
}

// ---- The update ----------------------------------------------------------

// Under the shim, counting only, the run is whole and the same each time.
TEST(PowerCut, CountedRunsPassAndAgree) {
    ASSERT_TRUE(ShimAvailable());
    const Update& update = TheUpdate();
    std::vector<std::string> first = CountedRun(update, InstallDirectory(0));
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(CountedRun(update, InstallDirectory(0)), first);
}

TEST(PowerCut, UnsyncedDataReadsAsZeros) {
    Sweep("zero");
}

TEST(PowerCut, UnsyncedDataCutShort) {
    Sweep("short");
}

} // namespace
