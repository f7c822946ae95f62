// vnpatch build, verify and apply together: archives built from version
// trees bring every old tree to the new one, and verify predicts what apply
// does without touching anything.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>

#include "patch/crc32.h"
#include "patch/crc32_stream.h"
#include "patch/record_writer.h"
#include "payload/archive_writer.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

class BuildVerifyTest : public ::testing::Test {
  protected:
    std::string P(const std::string& name) const { return Quote(dir + "/" + name); }
    ScratchDir scratch;
    std::string dir = scratch.path;
};

struct Line {
    std::string op;
    std::string name;
};

// The entries that "vnpatch inspect" lists, in order.
std::vector<Line> Inspect(const std::string& archive) {
    std::string out;
    EXPECT_EQ(0, Vnpatch("inspect " + Quote(archive), &out)) << out;
    std::vector<Line> lines;
    std::istringstream in(out);
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream fields(text);
        std::string index, entry, op, source, target, record, output, name;
        if (fields >> index >> entry >> op >> source >> target >> record >> output >> name &&
            entry.size() == 9 && entry.substr(5) == ".pat") {
            EXPECT_EQ(std::stoi(index), std::stoi(entry.substr(0, 5)));
            lines.push_back({op, name});
        }
    }
    return lines;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

ByteVector Moved(const ByteVector& base, size_t cut) {
    ByteVector out(base.begin() + cut, base.end());
    ByteVector middle = RandomBytes(777, 99);
    out.insert(out.end(), middle.begin(), middle.end());
    out.insert(out.end(), base.begin(), base.begin() + cut);
    return out;
}

// What verify predicts and what apply then does agree: the same failing
// entry with the same reason, and the same files left short of the new
// version (apply's side is read off the tree afterwards). The files verify
// lists are those the archive names; every one of them must stand as the
// record stream leaves it.
struct Outcome {
    int failed = -1;
    std::string reason;
};

Outcome VerifyPrediction(const std::string& out, std::vector<std::string>* shortNames) {
    Outcome outcome;
    std::istringstream in(out);
    std::string line;
    bool listing = false;
    while (std::getline(in, line)) {
        size_t fail = line.find(": FAIL: ");
        if (fail != std::string::npos && outcome.failed < 0) {
            outcome.failed = std::stoi(line);
            outcome.reason = line.substr(fail + 8);
        }
        if (line == "files not at their new version afterwards:") {
            listing = true;
        } else if (listing && line.rfind("  ", 0) == 0) {
            shortNames->push_back(line.substr(2, line.find(": ") - 2));
        } else {
            listing = false;
        }
    }
    return outcome;
}

Outcome ApplyResult(const std::string& out) {
    Outcome outcome;
    size_t at = out.find("failed at entry ");
    if (at == std::string::npos) {
        return outcome;
    }
    outcome.failed = std::stoi(out.substr(at + 16));
    size_t from = out.find("): ", at);
    size_t to = out.find("; entries before it", at);
    if (from != std::string::npos && to != std::string::npos && from < to) {
        outcome.reason = out.substr(from + 3, to - from - 3);
    }
    return outcome;
}

void ExpectPredicted(const std::string& verifyOut, const std::string& applyOut,
                     const std::string& inst) {
    std::vector<std::string> shortNames;
    Outcome predicted = VerifyPrediction(verifyOut, &shortNames);
    Outcome actual = ApplyResult(applyOut);
    EXPECT_EQ(predicted.failed, actual.failed) << verifyOut << "\n" << applyOut;
    EXPECT_EQ(predicted.reason, actual.reason) << verifyOut << "\n" << applyOut;
    // A file verify lists as short of its new version is so after apply:
    // its checksum or its presence is what verify printed.
    Tree tree = ReadTree(inst);
    for (const std::string& name : shortNames) {
        std::string path = name;
        for (char& c : path) {
            c = c == '\\' ? '/' : c;
        }
        size_t list = verifyOut.find("files not at their new version afterwards:");
        std::string listed = verifyOut.substr(verifyOut.find("\n  " + name + ": ", list) + 1);
        listed = listed.substr(0, listed.find('\n'));
        auto file = tree.find(path);
        if (listed.find(": missing") != std::string::npos) {
            EXPECT_TRUE(file == tree.end()) << name << " is there after apply";
        } else if (listed.find(": still present") != std::string::npos) {
            EXPECT_TRUE(file != tree.end()) << name << " is gone after apply";
        } else {
            ASSERT_TRUE(file != tree.end()) << name << " is missing after apply";
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08X", CrcOf(file->second));
            EXPECT_NE(std::string::npos, listed.find(std::string("checksum ") + crc))
                << listed << " against the applied file";
        }
    }
}

TEST_F(BuildVerifyTest, VariedTreesRoundTripThroughBuildVerifyAndApply) {
    ByteVector model = RandomBytes(200000, 1);
    ByteVector modelOther = model;
    modelOther[5000] ^= 1; // a second older version of the same file
    ByteVector tex = RandomBytes(40000, 2);
    for (const char* t : {"old1", "old2", "old3"}) {
        std::string root = dir + "/" + t;
        PutFile(root, "CAR/model.bin", std::string(t) == "old2" ? modelOther : model);
        PutFile(root, "same.txt", TextBytes("unchanged\n"));
        PutFile(root, "gone/away.dat", TextBytes("deleted in the new version"));
        PutFile(root, "empty_then_full.bin", {});
        PutFile(root, "unrelated.bin", RandomBytes(3000, 3));
        PutFile(root, "racetex/deep/er/tex.bmp", tex);
    }
    PutFile(dir + "/old1", "only_in_old1.txt", TextBytes("x"));
    PutFile(dir + "/old1", "new_to_old2.bin", model);
    PutFile(dir + "/old3", "new_to_old2.bin", model);
    std::string root = dir + "/new";
    PutFile(root, "CAR/model.bin", Moved(model, 120000));
    PutFile(root, "same.txt", TextBytes("unchanged\n"));
    PutFile(root, "empty_then_full.bin", TextBytes("now with contents"));
    PutFile(root, "unrelated.bin", RandomBytes(3000, 4));
    ByteVector texNew = tex;
    texNew.insert(texNew.begin() + 20000, 64, 0xEE);
    PutFile(root, "racetex/deep/er/tex.bmp", texNew);
    PutFile(root, "new_to_old2.bin", Moved(model, 1000));
    PutFile(root, "brand/new/empty.bin", {});
    PutFile(root, "brand/new/file.txt", TextBytes("hello"));

    std::string out;
    ASSERT_EQ(0, Vnpatch("build --old " + P("old1") + " --old " + P("old2") + " --old " +
                             P("old3") + " --new " + P("new") + " -o " + P("a.cf"),
                         &out))
        << out;
    std::vector<Line> lines = Inspect(dir + "/a.cf");
    std::map<std::string, std::string> ops;
    std::map<std::string, int> counts;
    for (const Line& l : lines) {
        ops[l.name] += l.op + " ";
        ++counts[l.name];
    }
    // Deletions first, then by name; both versions of model.bin adjacent.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("delete", lines[0].op);
    EXPECT_EQ("delete", lines[1].op);
    EXPECT_EQ("patch patch ", ops["CAR\\model.bin"]);
    EXPECT_EQ("patch ", ops["racetex\\deep\\er\\tex.bmp"]);
    EXPECT_EQ("write ", ops["new_to_old2.bin"]); // old2 lacks it
    EXPECT_EQ("write ", ops["unrelated.bin"]);   // no old version helps
    EXPECT_EQ("write ", ops["empty_then_full.bin"]);
    EXPECT_EQ("write ", ops["brand\\new\\empty.bin"]);
    EXPECT_EQ("write ", ops["brand\\new\\file.txt"]);
    EXPECT_EQ("delete ", ops["gone\\away.dat"]);
    EXPECT_EQ("delete ", ops["only_in_old1.txt"]);
    EXPECT_EQ(0u, counts.count("same.txt"));
    EXPECT_EQ(10u, lines.size());
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].op != "delete" && lines[i - 1].op != "delete") {
            EXPECT_LE(Lower(lines[i - 1].name), Lower(lines[i].name));
        }
    }

    ASSERT_EQ(0, Vnpatch("compress " + P("a.cf") + " " + P("a.sz")));
    std::map<std::string, ByteVector> wanted = ReadTree(dir + "/new");
    for (const char* t : {"old1", "old2", "old3"}) {
        SCOPED_TRACE(t);
        std::string copy = dir + "/inst_" + t;
        CopyTree(dir + "/" + t, copy);
        std::map<std::string, ByteVector> before = ReadTree(copy);
        EXPECT_EQ(0, Vnpatch("verify " + P("a.sz") + " " + Quote(copy), &out)) << out;
        EXPECT_NE(std::string::npos, out.find("result complete")) << out;
        EXPECT_EQ(std::string::npos, out.find("FAIL")) << out;
        EXPECT_TRUE(before == ReadTree(copy)) << "verify changed the tree";
        std::string predicted = out;
        EXPECT_EQ(0, Vnpatch("apply " + P("a.sz") + " " + Quote(copy), &out)) << out;
        ExpectPredicted(predicted, out, copy);
        EXPECT_TRUE(wanted == ReadTree(copy));
        // Applied twice: nothing left to do, still complete.
        EXPECT_EQ(0, Vnpatch("verify " + P("a.cf") + " " + Quote(copy), &out)) << out;
        EXPECT_EQ(0, Vnpatch("apply " + P("a.cf") + " " + Quote(copy), &out)) << out;
        EXPECT_TRUE(wanted == ReadTree(copy));
    }
}

TEST_F(BuildVerifyTest, IdenticalTreesGiveAnEmptyArchive) {
    PutFile(dir + "/old", "a/b.bin", RandomBytes(100, 1));
    PutFile(dir + "/new", "a/b.bin", RandomBytes(100, 1));
    std::string out;
    ASSERT_EQ(0,
              Vnpatch("build --old " + P("old") + " --new " + P("new") + " -o " + P("a.cf"), &out));
    EXPECT_TRUE(Inspect(dir + "/a.cf").empty());
    EXPECT_EQ(0, Vnpatch("verify " + P("a.cf") + " " + P("old"), &out)) << out;
    EXPECT_NE(0, Vnpatch("build --old " + P("old") + " -o " + P("b.cf"), &out));
    EXPECT_NE(0, Vnpatch("build --old " + P("nothing") + " --new " + P("new") + " -o " + P("b.cf"),
                         &out));
}

// One installation state per case; verify's verdict and exit code, and the
// same outcome from apply.
TEST_F(BuildVerifyTest, VerifyReportsSkipsFailuresAndIncompleteResults) {
    ByteVector old = RandomBytes(50000, 5);
    ByteVector now = Moved(old, 20000);
    PutFile(dir + "/old", "d/f.bin", old);
    PutFile(dir + "/old", "g.txt", TextBytes("one"));
    PutFile(dir + "/new", "d/f.bin", now);
    PutFile(dir + "/new", "g.txt", TextBytes("two"));
    std::string out;
    ASSERT_EQ(0,
              Vnpatch("build --old " + P("old") + " --new " + P("new") + " -o " + P("a.cf"), &out));

    struct Case {
        const char* name;
        const char* expect;
        bool complete;
        bool applyFails;
    };
    std::vector<Case> cases = {
        {"other_version", "skip: the file is another version", false, false},
        {"missing_target", "skip: the file is missing", false, false},
        {"bak_in_the_way", "FAIL: a backup d\\f.bin.bak is in the way", false, true},
        {"bak_alone_is_put_back",
         "skip: the file is another version than the record's source (after putting its backup "
         "back)",
         false, false},
        {"matching_bak_is_put_back", "rebuilds the file (after putting its backup back)", true,
         false},
        {"matching_bak_beside_another_file",
         "FAIL: a backup d\\f.bin.bak of the old version stands beside a file that is not its "
         "rebuild",
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string inst = dir + "/" + c.name;
        CopyTree(dir + "/old", inst);
        std::string name = c.name;
        if (name == "other_version") {
            PutFile(inst, "d/f.bin", RandomBytes(50000, 6));
        } else if (name == "missing_target") {
            RemoveTree(inst + "/d/f.bin");
        } else if (name == "bak_in_the_way") {
            PutFile(inst, "d/f.bin.bak", TextBytes("stale"));
        } else if (name == "bak_alone_is_put_back") {
            RemoveTree(inst + "/d/f.bin");
            PutFile(inst, "d/f.bin.bak", TextBytes("stale"));
        } else if (name == "matching_bak_is_put_back") {
            PutFile(inst, "d/f.bin.bak", old);
            PutFile(inst, "d/f.bin",
                    ByteVector(now.begin(), now.begin() + 30000)); // a killed rebuild
        } else {
            PutFile(inst, "d/f.bin.bak", old);
            PutFile(inst, "d/f.bin", TextBytes("the user's own"));
        }
        std::map<std::string, ByteVector> before = ReadTree(inst);
        int code = Vnpatch("verify " + P("a.cf") + " " + Quote(inst), &out);
        EXPECT_NE(std::string::npos, out.find(c.expect)) << out;
        EXPECT_EQ(c.complete ? 0 : 1, code) << out;
        EXPECT_NE(std::string::npos, out.find(c.complete ? "result complete" : "result incomplete"))
            << out;
        EXPECT_TRUE(before == ReadTree(inst)) << "verify changed the tree";
        if (c.applyFails) {
            EXPECT_NE(std::string::npos, out.find("not reached")) << out;
        }
        std::string applied;
        EXPECT_EQ(c.applyFails ? 1 : 0, Vnpatch("apply " + P("a.cf") + " " + Quote(inst), &applied))
            << applied;
        ExpectPredicted(out, applied, inst);
        if (c.complete) {
            EXPECT_TRUE(ReadTree(dir + "/new") == ReadTree(inst));
        }
    }
}

TEST_F(BuildVerifyTest, VerifyExplainsBadRecordsAndArchives) {
    ByteVector old = TextBytes("0123456789abcdefghij");
    PutFile(dir + "/inst", "f.bin", old);
    uint32_t oldCrc = CrcOf(old);
    struct Case {
        const char* name;
        ByteVector record;
        const char* expect;
    };
    std::vector<Case> cases;
    ByteVector r;
    BeginRecord(&r, OpWrite, 0, 0, "f.bin");
    r[0] = 'X';
    cases.push_back({"bad_magic", r, "bad record header"});
    BeginRecord(&r, OpPatch, 0, 0, "f.bin");
    r[12] = 7;
    cases.push_back({"bad_operation", r, "bad record header"});
    BeginRecord(&r, OpPatch, oldCrc, 0, "f.bin");
    AppendLiteralChunk(&r, old.data(), 4);
    r.resize(r.size() - 1);
    cases.push_back({"chunk_past_end", r, "a chunk lies outside the record"});
    BeginRecord(&r, OpPatch, oldCrc, 0, "f.bin");
    AppendCopyChunk(&r, 10, 50);
    cases.push_back({"copy_beyond", r, "a chunk lies outside the record or the old file"});
    BeginRecord(&r, OpPatch, oldCrc, 0x1u, "f.bin");
    AppendCopyChunk(&r, 0, 5);
    cases.push_back({"patch_checksum", r, "the file read back does not match the record's target"});
    BeginRecord(&r, OpWrite, 0, 0, std::string(300, 'n').c_str());
    cases.push_back({"long_path", r, "the target or backup path is over 259 bytes"});
    BeginRecord(&r, OpWrite, 0, 0, "..\\outside.bin");
    cases.push_back({"escaping_name", r, "the name leaves the installation directory"});
    BeginRecord(&r, OpWrite, 0, 0x12345678u, "w.bin");
    AppendLiteralChunk(&r, old.data(), 5);
    cases.push_back({"write_checksum", r, "the file read back does not match the record's target"});
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveEntry entry{"00000.pat", &c.record};
        PutFile(dir, "bad.cf", BuildArchive({entry}));
        std::string out;
        EXPECT_EQ(1, Vnpatch("verify " + P("bad.cf") + " " + P("inst"), &out));
        EXPECT_NE(std::string::npos, out.find(std::string("FAIL: ") + c.expect)) << out;
        std::string applied;
        EXPECT_EQ(1, Vnpatch("apply " + P("bad.cf") + " " + P("inst"), &applied)) << applied;
        ExpectPredicted(out, applied, dir + "/inst");
    }
    // A malformed record for another version is passed over, as apply does.
    BeginRecord(&r, OpPatch, oldCrc ^ 1, 0, "f.bin");
    AppendCopyChunk(&r, 10, 50);
    ArchiveEntry skipped{"00000.pat", &r};
    PutFile(dir, "skip.cf", BuildArchive({skipped}));
    std::string out;
    EXPECT_EQ(1, Vnpatch("verify " + P("skip.cf") + " " + P("inst"), &out));
    EXPECT_NE(std::string::npos, out.find("skip: the file is another version")) << out;
    EXPECT_EQ(0, Vnpatch("apply " + P("skip.cf") + " " + P("inst"), &out)) << out;
    ByteVector still;
    ASSERT_TRUE(ReadFile(dir + "/inst/f.bin", &still));
    EXPECT_EQ(old, still);

    PutFile(dir + "/newtree", "f.bin", TextBytes("abcdefghij0123456789"));
    PutFile(dir + "/oldtree", "f.bin", old);
    ASSERT_EQ(0,
              Vnpatch("build --old " + P("oldtree") + " --new " + P("newtree") + " -o " + P("g.cf"),
                      &out));
    EXPECT_EQ(0, Vnpatch("verify " + P("g.cf") + " " + P("inst"), &out)) << out;

    // An archive cut inside its only entry.
    ByteVector archive;
    ASSERT_TRUE(ReadFile(dir + "/g.cf", &archive));
    archive.resize(archive.size() - 3);
    PutFile(dir, "cut.cf", archive);
    EXPECT_EQ(1, Vnpatch("verify " + P("cut.cf") + " " + P("inst"), &out));
    EXPECT_NE(std::string::npos, out.find("archive: ")) << out;
}

// inspect flags what apply refuses, record by record: the same verdict for
// the same installation directory, and a non-zero exit.
TEST_F(BuildVerifyTest, InspectFlagsTheRecordsApplyRefuses) {
    PutFile(dir + "/inst", "keep.txt", TextBytes("x"));
    size_t room = 259 - (dir + "/inst\\").size(); // longest name that fits there
    ByteVector old = TextBytes("old");
    uint32_t oldCrc = Crc32(3, old.data());
    struct Case {
        const char* what;
        RecordOp op;
        std::string name;
        bool flaggedWithoutDirectory;
    };
    const Case cases[] = {
        {"plain name", OpWrite, "CAR\\ok.bin", false},
        {"parent", OpWrite, "..\\x.bin", true},
        {"inner parent", OpDelete, "CAR\\..\\..\\x.bin", true},
        {"drive", OpWrite, "C:\\x.bin", true},
        {"leading separator", OpDelete, "\\x.bin", true},
        {"wildcard", OpPatch, "CAR\\*.bin", true},
        {"fits under the directory", OpWrite, std::string(room, 'n'), false},
        {"too long under the directory", OpWrite, std::string(room + 1, 'n'), false},
        {"backup too long under the directory", OpPatch, std::string(room - 3, 'n'), false},
        {"too long anywhere", OpWrite, std::string(259, 'n'), true},
        {"backup too long anywhere", OpPatch, std::string(255, 'n'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ByteVector r;
        BeginRecord(&r, c.op, c.op == OpPatch ? oldCrc : 0, c.op == OpWrite ? oldCrc : 0,
                    c.name.c_str());
        if (c.op == OpWrite) {
            AppendLiteralChunk(&r, old.data(), 3);
        }
        ArchiveEntry entry{"00000.pat", &r};
        PutFile(dir, "one.cf", BuildArchive({entry}));
        std::string out;
        int applied = Vnpatch("apply " + P("one.cf") + " " + P("inst"), &out);
        int inspected = Vnpatch("inspect " + P("one.cf") + " " + P("inst"), &out);
        EXPECT_EQ(applied != 0, inspected != 0) << out;
        EXPECT_EQ(inspected != 0, out.find("  [") != std::string::npos) << out;
        EXPECT_EQ(c.flaggedWithoutDirectory, Vnpatch("inspect " + P("one.cf"), &out) != 0) << out;
    }
}

// About the size of the shipped update: 40 MB in 30 files, the largest 10 MB.
TEST_F(BuildVerifyTest, RealSizeTreesBuildVerifyAndApply) {
    uint32_t seed = 100;
    for (int i = 0; i < 30; ++i) {
        size_t size = i == 0 ? 10000000 : i < 5 ? 4000000 : 600000;
        ByteVector old = RandomBytes(size, seed++);
        ByteVector now = old;
        if (i % 3 == 0) {
            now = Moved(old, size / 3);
        } else if (i % 3 == 1) {
            for (size_t k = 100; k < now.size(); k += 50000) {
                now[k] ^= 0xFF;
            }
        }
        std::string name = (i % 2 ? "course/" : "CAR/sub/") + std::to_string(i) + ".bin";
        PutFile(dir + "/old", name, old);
        PutFile(dir + "/new", name, now);
    }
    std::string out;
    ASSERT_EQ(0,
              Vnpatch("build --old " + P("old") + " --new " + P("new") + " -o " + P("a.cf"), &out))
        << out;
    ASSERT_EQ(0, Vnpatch("compress " + P("a.cf") + " " + P("a.sz"), &out)) << out;
    ByteVector archive;
    ASSERT_TRUE(ReadFile(dir + "/a.cf", &archive));
    EXPECT_LT(archive.size(), 1000000u); // the changes, not the files
    CopyTree(dir + "/old", dir + "/inst");
    EXPECT_EQ(0, Vnpatch("verify " + P("a.sz") + " " + P("inst"), &out)) << out;
    EXPECT_NE(std::string::npos, out.find("20 would apply, 0 skip, 0 fail; result complete"))
        << out;
    EXPECT_EQ(0, Vnpatch("apply " + P("a.sz") + " " + P("inst"), &out)) << out;
    EXPECT_NE(std::string::npos, out.find("applied 20 records")) << out;
    EXPECT_TRUE(ReadTree(dir + "/new") == ReadTree(dir + "/inst"));
}

} // namespace
