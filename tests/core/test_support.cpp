#include "tests/core/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"
#include "patch/apply_record.h"
#include "patch/crc32.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool RemoveDirectoryNative(const std::string& path) {
#ifdef _WIN32
    return RemoveDirectoryA(path.c_str()) != 0;
#else
    std::string native = path;
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return rmdir(native.c_str()) == 0;
#endif
}

} // namespace

ScratchDir::ScratchDir() {
#ifdef _WIN32
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    static unsigned counter = 0;
    for (;;) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%svntest%lu_%u", temp, GetCurrentProcessId(), ++counter);
        if (CreateDirectoryA(name, nullptr)) {
            path = name;
            break;
        }
    }
#else
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr ? base : "/tmp") + "/vntest.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) {
        path = buffer.data();
    }
#endif
}

ScratchDir::~ScratchDir() {
    if (!path.empty()) {
        RemoveTree(path);
    }
}

std::string ScratchDir::At(const std::string& relative) const {
    return path + "\\" + relative;
}

std::string ScratchDir::Install() const {
    return path + "\\";
}

bool WriteFile(const std::string& path, const ByteVector& bytes) {
    FILE* file = PlatformOpenStream(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteFile(path, Bytes(text));
}

bool ReadFile(const std::string& path, ByteVector* bytes) {
    unsigned char* contents = nullptr;
    int32_t size = ReadWholeFile(&contents, path.c_str());
    if (size < 0) {
        return false;
    }
    bytes->assign(contents, contents + size);
    std::free(contents);
    return true;
}

bool Exists(const std::string& path) {
    FILE* file = PlatformOpenStream(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

bool MakeDirectory(const std::string& path) {
    return PlatformCreateDirectory(path.c_str());
}

void RemoveTree(const std::string& path) {
    PlatformFindHandle handle;
    PlatformFindData entry;
    std::vector<std::pair<std::string, bool>> children;
    if (PlatformFindFirst((path + "\\*").c_str(), &handle, &entry)) {
        do {
            if (std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0) {
                children.emplace_back(path + "\\" + entry.name,
                                      (entry.attributes & kAttrDirectory) != 0);
            }
        } while (PlatformFindNext(handle, &entry));
        PlatformFindClose(handle);
    }
    for (const auto& child : children) {
        PlatformSetAttributesNormal(child.first.c_str());
        if (child.second) {
            RemoveTree(child.first);
        } else {
            PlatformDeleteFile(child.first.c_str());
        }
    }
    PlatformSetAttributesNormal(path.c_str());
    RemoveDirectoryNative(path);
}

ByteVector Bytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

ByteVector RandomBytes(size_t count, unsigned seed) {
    ByteVector out(count);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<unsigned char>(state >> 24);
    }
    return out;
}

uint32_t CrcOf(const ByteVector& bytes) {
    return Crc32(static_cast<int32_t>(bytes.size()), bytes.data());
}

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

namespace {

void ListFiles(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
    PlatformFindHandle handle;
    PlatformFindData entry;
    if (!PlatformFindFirst((dir + "\\*").c_str(), &handle, &entry)) {
        return;
    }
    do {
        std::string name = entry.name;
        if (name == "." || name == "..") {
            continue;
        }
        if ((entry.attributes & kAttrDirectory) != 0) {
            ListFiles(dir + "\\" + name, prefix + name + "/", out);
        } else {
            out->push_back(prefix + name);
        }
    } while (PlatformFindNext(handle, &entry));
    PlatformFindClose(handle);
}

} // namespace

std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> files;
    ListFiles(dir, "", &files);
    std::sort(files.begin(), files.end());
    return files;
}

bool ApplyRecord(const ByteVector& record, const std::string& installDirectory, int32_t flags) {
    return ApplyPatchRecord(record.data(), static_cast<int32_t>(record.size()),
                            installDirectory.c_str(), flags);
}

ByteVector Contents(const std::string& path) {
    ByteVector bytes;
    EXPECT_TRUE(ReadFile(path, &bytes)) << path;
    return bytes;
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

std::string FixtureDir() {
    const char* dir = std::getenv("VARNELO_FIXTURES");
    return dir != nullptr ? dir : VARNELO_FIXTURE_DIR;
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
