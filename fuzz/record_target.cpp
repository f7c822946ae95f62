// ApplyPatchRecord over the scratch installation, with the outcome checked
// against the record rules: only the target and its backup ever change, a
// failed rebuild leaves an old version in place, a success verifies, and no
// new backup is left behind.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/scratch.h"
#include "fuzz/targets.h"
#include "patch/apply_record.h"
#include "patch/crc32_stream.h"
#include "patch/record_format.h"
#include "patch/record_reader.h"
#include "tests/support/records.h"

using testsupport::Tree;

namespace {

// Contents of the file whose normalized name is key, or null.
const ByteVector* Find(const Tree& tree, const std::string& key) {
    for (const auto& entry : tree) {
        if (NormalizeName(entry.first) == key) {
            return &entry.second;
        }
    }
    return nullptr;
}

// Names the engine refuses before touching the disk: empty, rooted, with a
// drive, a wildcard or a ".." part.
bool OutsideName(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/' ||
        name.find_first_of(":*?") != std::string::npos) {
        return true;
    }
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        char c = i < name.size() ? name[i] : '/';
        if (c == '\\' || c == '/') {
            if (part == "..") {
                return true;
            }
            part.clear();
        } else {
            part += c;
        }
    }
    return false;
}

bool Fail(const char* why, const std::string& name) {
    std::fprintf(stderr, "record: %s (target \"%s\")\n", why, name.c_str());
    return false;
}

} // namespace

bool FuzzRecordInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF || !ResetScratch()) {
        return true;
    }
    static const Tree kBefore = testsupport::ReadTree(ScratchInstallDir());
    int32_t length = static_cast<int32_t>(size);
    int32_t flags = 3;
    if (size >= 12) {
        flags = 3 ^ static_cast<int32_t>(ReadLe32(data + kOffReserved) & 3);
    }
    std::string install = ScratchInstallDir();
    bool result = ApplyPatchRecord(data, length, install.c_str(), flags);

    Tree after = testsupport::ReadTree(ScratchInstallDir());
    if (!OutsideIntact()) {
        return Fail("a file outside the installation changed", "");
    }
    // What the record is, as far as its header can be trusted.
    RecordHeader header;
    bool nameInside = ParseRecordHeader(data, length, &header);
    std::string name = nameInside ? std::string(header.name) : "";
    if (!nameInside || OutsideName(name)) {
        if (result || after != kBefore) {
            return Fail("a malformed record was applied or changed the disk", "");
        }
        return true;
    }
    uint32_t op = header.operation;
    uint32_t sourceCrc = header.sourceCrc;
    uint32_t targetCrc = header.targetCrc;
    std::string key = NormalizeName(name);
    std::string bakKey = NormalizeName(name + ".bak");

    // Only the target and its backup may change.
    Tree all = kBefore;
    all.insert(after.begin(), after.end());
    for (const auto& entry : all) {
        auto b = kBefore.find(entry.first);
        auto a = after.find(entry.first);
        bool same = b != kBefore.end() && a != after.end() && b->second == a->second;
        bool absentBoth = b == kBefore.end() && a == after.end();
        if (same || absentBoth) {
            continue;
        }
        std::string lower = NormalizeName(entry.first);
        if (lower != key && lower != bakKey) {
            return Fail(("another file changed: " + entry.first).c_str(), name);
        }
        if (a != after.end() && b == kBefore.end() && lower == bakKey && op == OpPatch) {
            return Fail("a new backup was left behind", name);
        }
    }
    const ByteVector* targetBefore = Find(kBefore, key);
    const ByteVector* targetAfter = Find(after, key);
    const ByteVector* bakBefore = Find(kBefore, bakKey);
    const ByteVector* bakAfter = Find(after, bakKey);
    if (op == OpDelete) {
        return result ? true : Fail("a delete record failed", name);
    }
    if (op == OpWrite) {
        if (result && (targetAfter == nullptr || CrcOf(*targetAfter) != targetCrc)) {
            return Fail("a write record succeeded without a verified file", name);
        }
        return true;
    }
    // OpPatch. A backup alone is always put back; a backup of the record's
    // old version beside a file is put back or, when that file is not the
    // start of the rebuild, fails the record with both untouched; any other
    // backup beside a file is left alone.
    bool alone = bakBefore != nullptr && targetBefore == nullptr;
    bool matching = bakBefore != nullptr && CrcOf(*bakBefore) == sourceCrc;
    bool healable = alone || matching;
    if (alone && bakAfter != nullptr) {
        return Fail("a backup alone was not put back", name);
    }
    if (matching && !alone && bakAfter != nullptr) {
        bool untouched =
            *bakAfter == *bakBefore && targetAfter != nullptr && *targetAfter == *targetBefore;
        return !result && untouched
                   ? true
                   : Fail("a matching backup stayed, yet the record went on", name);
    }
    if (!healable && bakBefore != nullptr && (bakAfter == nullptr || *bakAfter != *bakBefore)) {
        return Fail("a backup that matches nothing was touched", name);
    }
    bool changed = targetAfter == nullptr
                       ? targetBefore != nullptr
                       : targetBefore == nullptr || *targetAfter != *targetBefore;
    if (result) {
        if (changed && targetAfter != nullptr && CrcOf(*targetAfter) != targetCrc &&
            !(healable && *targetAfter == *bakBefore)) {
            return Fail("a rebuild succeeded with an unverified file", name);
        }
        if (targetAfter == nullptr && (targetBefore != nullptr || healable)) {
            return Fail("a rebuild succeeded and lost the file", name);
        }
        return true;
    }
    // A failed rebuild leaves the old version: the target as it was, or the
    // healed backup.
    if (targetBefore == nullptr && !healable) {
        return targetAfter == nullptr ? true : Fail("a failed rebuild created a file", name);
    }
    bool oldKept =
        targetAfter != nullptr && ((targetBefore != nullptr && *targetAfter == *targetBefore) ||
                                   (healable && *targetAfter == *bakBefore));
    return oldKept ? true : Fail("a failed rebuild lost the old file", name);
}
