#include "tests/support/records.h"

#include <cstdio>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/crc32_stream.h"

namespace testsupport {

ByteVector WriteRecord(const std::string& name, const ByteVector& contents) {
    ByteVector record;
    BeginRecord(&record, OpWrite, 0, CrcOf(contents), name.c_str());
    AppendLiteralChunk(&record, contents.data(), static_cast<uint32_t>(contents.size()));
    return record;
}

ByteVector DeleteRecord(const std::string& name) {
    ByteVector record;
    BeginRecord(&record, OpDelete, 0, 0, name.c_str());
    return record;
}

ByteVector PatchRecordFor(const std::string& name, const ByteVector& oldContents,
                          const ByteVector& newContents) {
    ByteVector record;
    BeginRecord(&record, OpPatch, CrcOf(oldContents), CrcOf(newContents), name.c_str());
    size_t shared = 0;
    while (shared < oldContents.size() && shared < newContents.size() &&
           oldContents[shared] == newContents[shared]) {
        ++shared;
    }
    size_t copied = shared / 2;
    if (copied > 0) {
        AppendCopyChunk(&record, 0, static_cast<uint32_t>(copied));
    }
    if (copied < newContents.size()) {
        AppendLiteralChunk(&record, newContents.data() + copied,
                           static_cast<uint32_t>(newContents.size() - copied));
    }
    return record;
}

bool ApplyRecord(const ByteVector& record, const std::string& installDirectory, int32_t flags) {
    return ApplyPatchRecord(record.data(), static_cast<int32_t>(record.size()),
                            installDirectory.c_str(), flags);
}

FileVersions MakeVersions(const std::string& name, size_t oldSize, size_t kept, size_t added,
                          unsigned seed) {
    FileVersions v;
    v.oldVersion = RandomBytes(oldSize, seed);
    v.newVersion.assign(v.oldVersion.begin(), v.oldVersion.begin() + static_cast<long>(kept));
    ByteVector tail = RandomBytes(added, seed + 1);
    v.newVersion.insert(v.newVersion.end(), tail.begin(), tail.end());
    v.record = PatchRecordFor(name, v.oldVersion, v.newVersion);
    return v;
}

ByteVector SzddLiteralsOnly(const ByteVector& plain) {
    ByteVector out = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33, 'A', 0};
    AppendLe32(&out, static_cast<uint32_t>(plain.size()));
    for (size_t i = 0; i < plain.size(); i += 8) {
        size_t n = plain.size() - i < 8 ? plain.size() - i : 8;
        out.push_back(static_cast<unsigned char>((1u << n) - 1));
        out.insert(out.end(), plain.begin() + static_cast<long>(i),
                   plain.begin() + static_cast<long>(i + n));
    }
    return out;
}

bool ReadOnlyIsEnforced() {
    ScratchDir dir;
    std::string path = dir.At("probe");
    if (!WriteText(path, "x") || !PlatformSetReadOnly(path.c_str())) {
        return false;
    }
    FILE* file = PlatformOpenStream(path.c_str(), "ab");
    if (file != nullptr) {
        std::fclose(file);
    }
    PlatformSetAttributesNormal(path.c_str());
    return file == nullptr;
}

bool ReadOnlyDirectoriesShow() {
    ScratchDir dir;
    std::string path = dir.At("probe");
    if (!MakeDirectory(path) || !PlatformSetReadOnly(path.c_str())) {
        return false;
    }
    PlatformFindHandle handle;
    PlatformFindData entry;
    bool shows = PlatformFindFirst(path.c_str(), &handle, &entry);
    if (shows) {
        shows = entry.attributes != kAttrDirectory;
        PlatformFindClose(handle);
    }
    PlatformSetAttributesNormal(path.c_str());
    return shows;
}

} // namespace testsupport
