// vnpatch verify ARCHIVE INSTALLDIR: what the patch phase would do to the
// installation, record by record, without changing anything. The state of
// each named file (present, checksum, backup beside it) is simulated in
// archive order, so later records see what earlier ones would leave.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/record_format.h"
#include "patch/record_info.h"
#include "patch/record_reader.h"
#include "tools/delta/crc_stream.h"
#include "tools/vnpatch/archive_scan.h"
#include "tools/vnpatch/commands.h"

namespace {

struct FileState {
    bool loaded; // read from the disk once, when its first record comes
    bool exists;
    uint32_t crc;
    bool backup; // a ".bak" stands beside it
    uint32_t backupCrc;
    bool inMemory; // contents made by an earlier record, kept for a later one
    std::vector<unsigned char> contents;
    int32_t recordsLeft;
    bool expectPresent; // after its last record
    uint32_t expectCrc;
};

struct Verify {
    const char* directory;
    std::map<std::string, FileState> files;
    int32_t applied;
    int32_t skipped;
    int32_t failedAt; // -1 while no record failed
};

std::string KeyOf(const char* name) {
    std::string key = name;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

// Pass 1: how many records name each file, and what each should end as.
bool CountRecord(int32_t, const char*, const unsigned char* record, int32_t length, void* context) {
    Verify* v = static_cast<Verify*>(context);
    RecordInfo info;
    if (!DescribeRecord(record, length, &info)) {
        return true;
    }
    FileState& state = v->files[KeyOf(info.name)];
    ++state.recordsLeft;
    state.expectPresent = info.operation != OpDelete;
    state.expectCrc = info.targetCrc;
    return true;
}

void LoadFromDisk(FileState* state, const char* target) {
    uint64_t size;
    uint64_t fingerprint;
    state->loaded = true;
    state->exists = FileExists(target);
    if (!state->exists || !CrcOfFile(target, &state->crc, &size, &fingerprint)) {
        state->crc = 0;
    }
    std::string backup = std::string(target) + ".bak";
    state->backup = FileExists(backup.c_str());
    if (!state->backup || !CrcOfFile(backup.c_str(), &state->backupCrc, &size, &fingerprint)) {
        state->backupCrc = 0;
    }
}

// Runs the chunk stream over old (null for OpWrite); the checksum of what it
// writes, and the bytes too when keep is given. The record is well formed and
// its copies lie inside old.
uint32_t OutputChecksum(const unsigned char* record, int32_t length, const unsigned char* old,
                        int64_t oldSize, std::vector<unsigned char>* keep) {
    RecordHeader header;
    ParseRecordHeader(record, length, &header);
    ChunkCursor cursor;
    BeginChunks(&cursor, record, length, header, old, static_cast<int32_t>(oldSize));
    CrcStream crc;
    CrcBegin(&crc);
    Chunk chunk;
    while (NextChunk(&cursor, &chunk) == ChunkTaken) {
        CrcUpdate(&crc, chunk.bytes, chunk.length);
        if (keep != nullptr) {
            keep->insert(keep->end(), chunk.bytes, chunk.bytes + chunk.length);
        }
    }
    return CrcValue(&crc);
}

// Pass 2: one record. Returns the verdict text; *outcome 0 apply, 1 skip, 2 fail.
std::string Simulate(Verify* v, const unsigned char* record, int32_t length, RecordInfo* info,
                     int* outcome) {
    *outcome = 2;
    if (!DescribeRecord(record, length, info)) {
        return "bad record header (magic, version, operation or name)";
    }
    if (!IsSafeRelativeName(info->name)) {
        return "name leaves the installation directory";
    }
    std::string target = std::string(v->directory) + info->name;
    if (target.size() >= static_cast<size_t>(kPathSize)) {
        return "target path too long (" + std::to_string(target.size()) + " bytes, at most 259)";
    }
    FileState& state = v->files[KeyOf(info->name)];
    --state.recordsLeft;
    if (info->operation == OpDelete) {
        state.exists = false;
        state.inMemory = false;
        state.contents.clear();
        *outcome = 0;
        return "deletes the file";
    }
    std::vector<unsigned char> made;
    std::vector<unsigned char>* keep = state.recordsLeft > 0 ? &made : nullptr;
    if (info->operation == OpWrite) {
        if (!info->wellFormed) {
            return "malformed chunk stream";
        }
        uint32_t crc = OutputChecksum(record, length, nullptr, 0, keep);
        if (crc != info->targetCrc) {
            return "written file would not match the target checksum";
        }
        state.exists = true;
        state.crc = crc;
        state.inMemory = keep != nullptr;
        state.contents.swap(made);
        *outcome = 0;
        return "writes the file";
    }
    if (target.size() + 4 >= static_cast<size_t>(kPathSize)) {
        return "backup path too long (" + std::to_string(target.size() + 4) +
               " bytes, at most 259)";
    }
    std::string backup = target + ".bak";
    bool healed = false;
    if (state.backup && state.backupCrc == info->sourceCrc && state.exists) {
        // Beside a file, the engine puts back a backup of this record's old
        // version only over the start of this record's rebuild.
        unsigned char* kept = nullptr;
        int32_t keptSize = state.inMemory ? -1 : ReadWholeFile(&kept, backup.c_str());
        bool start =
            keptSize >= 0 && HoldsStartOfRebuild(record, length, kept, keptSize, target.c_str());
        std::free(kept);
        if (!start) {
            return "a .bak of this record's old version beside a file that is not its rebuild (" +
                   backup + ")";
        }
        healed = true;
    } else if (state.backup && !state.exists) {
        // With nothing under the target name the backup goes back, whatever
        // it holds, before the record is judged.
        healed = true;
    }
    if (healed) {
        state.exists = true;
        state.crc = state.backupCrc;
        state.backup = false;
        state.inMemory = false;
    }
    if (!state.exists) {
        *outcome = 1;
        return "missing target";
    }
    if (state.backup) {
        return "a .bak is in the way (" + backup + ")";
    }
    if (state.crc != info->sourceCrc) {
        *outcome = 1;
        char text[96];
        std::snprintf(text, sizeof text, "other version (file %08X, record wants %08X)", state.crc,
                      info->sourceCrc);
        return std::string(text) + (info->wellFormed ? "" : "; the record is malformed too");
    }
    // Only a record that reaches its chunks fails on them, as in the engine.
    if (!info->wellFormed) {
        return "malformed chunk stream";
    }
    unsigned char* old = nullptr;
    int64_t oldSize;
    if (state.inMemory) {
        oldSize = static_cast<int64_t>(state.contents.size());
    } else {
        oldSize = ReadWholeFile(&old, healed ? backup.c_str() : target.c_str());
        if (oldSize < 0) {
            return "cannot read the old file";
        }
    }
    std::string verdict;
    if (info->maxCopyEnd > oldSize) {
        verdict = "copy beyond the old file (" + std::to_string(info->maxCopyEnd) + " > " +
                  std::to_string(oldSize) + " bytes)";
    } else {
        const unsigned char* base = state.inMemory ? state.contents.data() : old;
        uint32_t crc = OutputChecksum(record, length, base, oldSize, keep);
        if (crc != info->targetCrc) {
            verdict = "rebuilt file would not match the target checksum";
        } else {
            state.crc = crc;
            state.inMemory = keep != nullptr;
            state.contents.swap(made);
            *outcome = 0;
            verdict =
                healed ? "rebuilds the file (after putting its backup back)" : "rebuilds the file";
        }
    }
    std::free(old);
    return verdict;
}

bool VerifyRecord(int32_t index, const char* entry, const unsigned char* record, int32_t length,
                  void* context) {
    Verify* v = static_cast<Verify*>(context);
    RecordInfo info;
    if (v->failedAt >= 0) {
        DescribeRecord(record, length, &info);
        std::printf("%5d  %-12s %-7s %s: not reached\n", index, entry,
                    OperationName(info.operation), info.name);
        return true;
    }
    // Records for files not yet seen start from the disk.
    RecordInfo peek;
    if (DescribeRecord(record, length, &peek)) {
        FileState& state = v->files[KeyOf(peek.name)];
        std::string target = std::string(v->directory) + peek.name;
        if (!state.loaded && target.size() < static_cast<size_t>(kPathSize)) {
            LoadFromDisk(&state, target.c_str());
        }
    }
    int outcome;
    std::string verdict = Simulate(v, record, length, &info, &outcome);
    const char* word = outcome == 0 ? "apply" : outcome == 1 ? "skip" : "FAIL";
    std::printf("%5d  %-12s %-7s %s: %s: %s\n", index, entry, OperationName(info.operation),
                info.name, word, verdict.c_str());
    if (outcome == 0) {
        ++v->applied;
    } else if (outcome == 1) {
        ++v->skipped;
    } else {
        v->failedAt = index;
    }
    return true;
}

} // namespace

int CommandVerify(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vnpatch verify ARCHIVE INSTALLDIR\n");
        return 2;
    }
    std::string directory = argv[1];
    if (directory.empty() || directory.back() != '\\') {
        directory += '\\';
    }
    if (directory.size() >= static_cast<size_t>(kPathSize)) {
        std::fprintf(stderr, "vnpatch: install directory too long\n");
        return 2;
    }
    Verify* v = new Verify;
    v->directory = directory.c_str();
    v->applied = 0;
    v->skipped = 0;
    v->failedAt = -1;
    ScanHeader header;
    std::string error;
    bool ok = ScanArchive(argv[0], &header, CountRecord, v, &error);
    if (ok) {
        ok = ScanArchive(argv[0], &header, VerifyRecord, v, &error);
    }
    int code = 0;
    if (!ok) {
        std::printf("archive: %s; the patch phase would stop there\n", error.c_str());
        code = 1;
    }
    if (v->failedAt >= 0) {
        std::printf("entry %d would fail; the patch phase would stop there\n", v->failedAt);
        code = 1;
    }
    int incomplete = 0;
    for (auto& item : v->files) {
        const FileState& s = item.second;
        bool right = s.expectPresent ? s.exists && s.crc == s.expectCrc : !s.exists;
        if (!right && ok) {
            if (incomplete == 0) {
                std::printf("files not at their new version afterwards:\n");
            }
            ++incomplete;
            if (s.expectPresent && s.exists) {
                std::printf("  %s: checksum %08X, new version %08X\n", item.first.c_str(), s.crc,
                            s.expectCrc);
            } else {
                std::printf("  %s: %s\n", item.first.c_str(),
                            s.expectPresent ? "missing" : "still present");
            }
        }
    }
    std::printf("%d entries: %d would apply, %d skip, %d fail; result %s\n", header.count,
                v->applied, v->skipped, v->failedAt >= 0 ? 1 : 0,
                code == 0 && incomplete == 0 ? "complete" : "incomplete");
    delete v;
    return code == 0 && incomplete == 0 ? 0 : 1;
}
