// vnpatch build --old DIR [--old DIR ...] --new DIR -o ARCHIVE
//
// Records, in archive order: OpDelete for files gone from the new tree; then
// by name, for each changed or new file, either one OpWrite (the file is new
// to some old tree, or no old version is a useful base) or one OpPatch per
// distinct old version (by checksum), all with the new file's checksum.
// Chunk streams are spooled to a file beside the archive while the plan is
// made, so memory stays at one old file, its index and one window.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "fileutil/platform_process.h"
#include "patch/record_format.h"
#include "payload/archive_writer.h"
#include "tools/delta/delta.h"
#include "tools/vnpatch/build_steps.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/tree_scan.h"

namespace {

struct Progress {
    const char* label;
    int64_t base;
    int64_t total;
};

void ShowProgress(int64_t done, void* context) {
    Progress* p = static_cast<Progress*>(context);
    DrawProgress(p->label, p->base + done, p->total);
}

// Longest a record may be (the engine counts in signed 32 bits).
constexpr int64_t kMaxRecord = INT32_MAX;

int64_t HeaderSize(const std::string& name) {
    return kRecordHeaderSize + static_cast<int64_t>(name.size()) + 1;
}

struct OldVersion {
    const TreeFile* file;
    bool ambiguous; // another old file has the same checksum but other contents
};

// Plans the records of one new file; chunk streams go to the spool.
bool PlanFile(const TreeFile& newFile, const std::vector<std::vector<TreeFile>>& olds, FILE* spool,
              Progress* progress, int32_t minCopy, std::vector<PlannedRecord>* plan,
              std::string* error) {
    bool newSomewhere = false;
    std::vector<OldVersion> versions;
    for (const std::vector<TreeFile>& tree : olds) {
        const TreeFile* old = FindByKey(tree, newFile.key);
        if (old == nullptr) {
            newSomewhere = true;
            continue;
        }
        if (old->crc == newFile.crc && old->size == newFile.size &&
            old->fingerprint == newFile.fingerprint) {
            continue; // already the new version there
        }
        bool seen = false;
        for (OldVersion& v : versions) {
            if (v.file->crc == old->crc) {
                seen = true;
                if (v.file->size != old->size || v.file->fingerprint != old->fingerprint) {
                    v.ambiguous = true;
                }
            }
        }
        if (!seen) {
            versions.push_back(OldVersion{old, false});
        }
    }
    int64_t wholeStream = kChunkHeadSize + static_cast<int64_t>(newFile.size);
    if (HeaderSize(newFile.name) + wholeStream > kMaxRecord) {
        *error = newFile.name + " is too large for a record (at most 2 GB)";
        return false;
    }
    PlannedRecord whole{
        OpWrite, newFile.name, 0, newFile.crc, StreamWholeFile, newFile.path, newFile.size, 0, 0};
    if (newSomewhere) {
        plan->push_back(whole);
        progress->base += static_cast<int64_t>(newFile.size);
        return true;
    }
    if (versions.empty()) {
        return true;
    }
    std::vector<PlannedRecord> records;
    bool anyHelps = false;
    for (const OldVersion& v : versions) {
        PlannedRecord record = whole;
        record.op = OpPatch;
        record.sourceCrc = v.file->crc;
        // The engine reads the whole old file into a signed 32-bit size.
        if (!v.ambiguous && v.file->size < static_cast<uint64_t>(INT32_MAX)) {
            int64_t start = PlatformTell64(spool);
            DeltaStats stats;
            if (start < 0 || !SpoolDelta(*v.file, newFile, spool, minCopy, ShowProgress, progress,
                                         &stats, error)) {
                return false;
            }
            // A useful base: the copies outweigh their chunk heads.
            if (stats.copiedBytes > 0 && stats.streamBytes < wholeStream) {
                record.kind = StreamSpooled;
                record.spoolOffset = start;
                record.spoolLength = stats.streamBytes;
                anyHelps = true;
            } else if (!PlatformSeek64(spool, start, SEEK_SET)) {
                *error = "cannot rewind the spool file";
                return false;
            }
        }
        progress->base += static_cast<int64_t>(newFile.size);
        records.push_back(record);
    }
    if (!anyHelps) {
        plan->push_back(whole);
        return true;
    }
    plan->insert(plan->end(), records.begin(), records.end());
    return true;
}

int Fail(const std::string& message) {
    EndProgress();
    std::fprintf(stderr, "vnpatch: %s\n", message.c_str());
    return 1;
}

} // namespace

int CommandBuild(int argc, char** argv) {
    std::vector<const char*> oldRoots;
    const char* newRoot = nullptr;
    const char* output = nullptr;
    int32_t minCopy = kDeltaMinCopy;
    for (int i = 0; i < argc; ++i) {
        bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--old") == 0 && hasValue) {
            oldRoots.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--new") == 0 && hasValue && newRoot == nullptr) {
            newRoot = argv[++i];
        } else if (std::strcmp(argv[i], "--min-copy") == 0 && hasValue) {
            minCopy = std::atoi(argv[++i]);
            if (minCopy < 1) {
                minCopy = 1;
            }
        } else if (std::strcmp(argv[i], "-o") == 0 && hasValue && output == nullptr) {
            output = argv[++i];
        } else {
            output = nullptr;
            break;
        }
    }
    if (oldRoots.empty() || newRoot == nullptr || output == nullptr) {
        std::fprintf(
            stderr,
            "usage: vnpatch build --old DIR [--old DIR ...] --new DIR -o ARCHIVE [--min-copy N]\n");
        return 2;
    }
    std::string error;
    std::vector<TreeFile> newFiles;
    std::vector<std::vector<TreeFile>> olds(oldRoots.size());
    if (!ScanTree(newRoot, &newFiles, &error)) {
        return Fail(error);
    }
    for (size_t i = 1; i < newFiles.size(); ++i) {
        if (newFiles[i].key == newFiles[i - 1].key) {
            return Fail("names differ only in letter case: " + newFiles[i - 1].name + ", " +
                        newFiles[i].name);
        }
    }
    for (size_t i = 0; i < oldRoots.size(); ++i) {
        if (!ScanTree(oldRoots[i], &olds[i], &error)) {
            return Fail(error);
        }
    }
    for (const TreeFile& file : newFiles) {
        if (file.name.size() >= kPathSize) {
            return Fail("name too long for a record: " + file.name);
        }
    }

    std::vector<PlannedRecord> plan;
    // Deletions first: a folder of the new tree may take the place of a file.
    for (size_t t = 0; t < olds.size(); ++t) {
        for (const TreeFile& old : olds[t]) {
            bool planned = false;
            for (const PlannedRecord& r : plan) {
                planned = planned || r.name == old.name;
            }
            if (FindByKey(newFiles, old.key) == nullptr && !planned &&
                old.name.size() < kPathSize) {
                plan.push_back(PlannedRecord{OpDelete, old.name, 0, 0, StreamNone, "", 0, 0, 0});
            }
        }
    }
    std::sort(plan.begin(), plan.end(),
              [](const PlannedRecord& a, const PlannedRecord& b) { return a.name < b.name; });

    std::string spoolPath = std::string(output) + ".spool";
    FILE* spool = PlatformOpenStream(spoolPath.c_str(), "w+b");
    if (spool == nullptr) {
        return Fail("cannot create " + spoolPath);
    }
    Progress progress{"", 0, 0};
    for (const TreeFile& file : newFiles) {
        progress.total += static_cast<int64_t>(file.size) * static_cast<int64_t>(olds.size());
    }
    bool ok = true;
    for (const TreeFile& file : newFiles) {
        progress.label = file.name.c_str();
        int64_t before = progress.base;
        ok = PlanFile(file, olds, spool, &progress, minCopy, &plan, &error);
        // Files that needed no delta count as done all the same.
        progress.base = before + static_cast<int64_t>(file.size) * int64_t(olds.size());
        DrawProgress(progress.label, progress.base, progress.total);
        if (!ok) {
            break;
        }
    }
    EndProgress();
    if (ok && plan.size() > static_cast<size_t>(INT32_MAX)) {
        ok = false;
        error = "too many records";
    }
    for (size_t i = 0; ok && i < plan.size(); ++i) {
        const PlannedRecord& r = plan[i];
        if (HeaderSize(r.name) + StreamSize(r) > kMaxRecord) {
            ok = false;
            error = r.name + ": record over 2 GB";
        }
    }
    ArchiveWriter writer;
    if (ok && !ArchiveBegin(&writer, output, static_cast<int32_t>(plan.size()))) {
        ok = false;
        error = std::string("cannot create ") + output;
    }
    if (ok) {
        int counts[3] = {0, 0, 0};
        for (size_t i = 0; ok && i < plan.size(); ++i) {
            char entryName[32];
            std::snprintf(entryName, sizeof entryName, "%05d.pat", static_cast<int>(i));
            ok = AddPlannedEntry(&writer, entryName, plan[i], spool);
            ++counts[plan[i].op];
            DrawProgress("writing the archive", static_cast<int64_t>(i + 1),
                         static_cast<int64_t>(plan.size()));
        }
        EndProgress();
        ok = ArchiveFinish(&writer) && ok;
        if (!ok) {
            error = std::string("cannot write ") + output;
            DeleteFileForced(output);
        } else {
            std::printf(
                "%zu records (%d patch, %d write, %d delete), %" PRIu32 " bytes after the table\n",
                plan.size(), counts[OpPatch], counts[OpWrite], counts[OpDelete], writer.nextOffset);
        }
    }
    std::fclose(spool);
    DeleteFileForced(spoolPath.c_str());
    return ok ? 0 : Fail(error);
}
