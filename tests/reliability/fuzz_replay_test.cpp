// Replays every input the fuzzers ever broke (fuzz/regressions/<target>/) and
// the seed corpora through the same entry points, natively and under ASan.
#include <gtest/gtest.h>

#include <string>

#include "fuzz/scratch.h"
#include "fuzz/targets.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

typedef bool (*TargetBody)(const uint8_t*, size_t);

// Runs every file of the target's regression and seed folders; the count.
size_t Replay(const char* target, TargetBody body) {
    size_t count = 0;
    for (const char* folder : {"regressions", "corpus"}) {
        std::string dir = std::string(VARNELO_SOURCE_DIR) + "/fuzz/" + folder + "/" + target;
        for (const std::string& name : FilesUnder(dir)) {
            ByteVector bytes = Contents(dir + "/" + name);
            EXPECT_TRUE(body(bytes.data(), bytes.size())) << dir << "/" << name;
            ++count;
        }
    }
    return count;
}

} // namespace

TEST(FuzzReplay, Szdd) {
    EXPECT_GT(Replay("szdd", FuzzSzddInput), 0u);
}
TEST(FuzzReplay, Archive) {
    EXPECT_GT(Replay("archive", FuzzArchiveInput), 0u);
}
TEST(FuzzReplay, Record) {
    EXPECT_GT(Replay("record", FuzzRecordInput), 0u);
}
TEST(FuzzReplay, Stamp) {
    EXPECT_GT(Replay("stamp", FuzzStampInput), 0u);
}

// The seeds reach the deep paths: the heal seeds put their backups back and
// rebuild their files.
TEST(FuzzReplay, HealSeedsRebuild) {
    const char* const seeds[][2] = {{"patch_oval_heal", "course/OVAL.bin"},
                                    {"patch_hill_bak_only", "course/HILL.bin"}};
    for (const auto& seed : seeds) {
        ByteVector bytes =
            Contents(std::string(VARNELO_SOURCE_DIR) + "/fuzz/corpus/record/" + seed[0]);
        ASSERT_FALSE(bytes.empty()) << seed[0];
        ASSERT_TRUE(FuzzRecordInput(bytes.data(), bytes.size()));
        Tree tree = ReadTree(ScratchInstallDir());
        std::string target = seed[1];
        EXPECT_EQ(tree.count(target + ".bak"), 0u) << seed[0];
        ASSERT_EQ(tree.count(target), 1u) << seed[0];
        EXPECT_NE(tree[target], ScratchOriginal(seed[1])) << seed[0];
        EXPECT_EQ(tree[target].size(), ScratchOriginal(seed[1]).size() + 20) << seed[0];
    }
}
