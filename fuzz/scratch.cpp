#include "fuzz/scratch.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/seeded_random.h"

namespace {

std::string Pattern(uint32_t seed, size_t size) {
    ByteVector bytes = testsupport::RandomBytes(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

const std::vector<ScratchFile>& Files() {
    static const std::vector<ScratchFile> files = {
        {"CAR/NR33.bin", Pattern(1, 3000)},
        // A run killed mid-rebuild: the first 1000 bytes of the seed record's
        // output (which opens with the old file's second half) beside the
        // full backup.
        {"course/OVAL.bin", Pattern(2, 5000).substr(2500, 1000)},
        {"course/OVAL.bin.bak", Pattern(2, 5000)},
        // Killed between the rename and the first write: backup only.
        {"course/HILL.bin.bak", Pattern(3, 2000)},
        // A stale backup that matches no record.
        {"font/font_01.mft", std::string("font_01 metrics v1 \x01\x02\x03\x04 end of file\n")},
        {"font/font_01.mft.bak", std::string("unrelated leftover")},
        {"readme.txt", std::string("Varnelo\r\n")},
    };
    return files;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    std::remove(path);
    return 0;
}

void RemoveTree(const std::string& dir) {
    nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void RemoveRootAtExit() {
    RemoveTree(ScratchRoot());
}

bool MakeParents(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/') {
            std::string prefix = path.substr(0, i);
            if (mkdir(prefix.c_str(), 0777) != 0 && access(prefix.c_str(), F_OK) != 0) {
                return false;
            }
        }
    }
    return true;
}

bool WriteBytes(const std::string& path, const void* data, size_t size) {
    if (!MakeParents(path)) {
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

TreeSnapshot* g_snapshot = nullptr;
size_t g_prefixLength = 0;

int AddEntry(const char* path, const struct stat* info, int type, struct FTW*) {
    if (type == FTW_F && S_ISREG(info->st_mode)) {
        (*g_snapshot)[std::string(path + g_prefixLength)] = ReadFileBytes(path);
    }
    return 0;
}

} // namespace

const std::string& ScratchRoot() {
    static std::string root;
    if (root.empty()) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, "%s/varnelo-scratch-%d", base,
                      static_cast<int>(getpid()));
        root = buffer;
        RemoveTree(root);
        mkdir(root.c_str(), 0777);
        std::atexit(RemoveRootAtExit);
    }
    return root;
}

std::string ScratchInstallDir() {
    return ScratchRoot() + "/inst/";
}

int ScratchFileCount() {
    return static_cast<int>(Files().size());
}

const ScratchFile& ScratchFileAt(int index) {
    return Files()[static_cast<size_t>(index)];
}

std::string ScratchOriginal(const char* path) {
    std::string p(path);
    if (p == "CAR/NR33.bin") {
        return Pattern(1, 3000);
    }
    if (p == "course/OVAL.bin") {
        return Pattern(2, 5000);
    }
    if (p == "course/HILL.bin") {
        return Pattern(3, 2000);
    }
    return std::string();
}

bool ResetScratch() {
    const std::string& root = ScratchRoot();
    RemoveTree(root + "/inst");
    std::remove((root + "/outside.bin").c_str());
    mkdir((root + "/inst").c_str(), 0777);
    bool ok = WriteBytes(root + "/outside.bin", "outside", 7);
    for (const ScratchFile& file : Files()) {
        ok = WriteBytes(root + "/inst/" + file.path, file.contents.data(), file.contents.size()) &&
             ok;
    }
    return ok;
}

std::string WriteScratchBlob(const char* name, const unsigned char* data, size_t size) {
    std::string path = ScratchRoot() + "/" + name;
    return WriteBytes(path, data, size) ? path : std::string();
}

TreeSnapshot SnapshotTree(const std::string& dir) {
    TreeSnapshot snapshot;
    std::string prefix = dir;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    g_snapshot = &snapshot;
    g_prefixLength = prefix.size();
    nftw(prefix.c_str(), AddEntry, 16, FTW_PHYS);
    g_snapshot = nullptr;
    return snapshot;
}

std::string LowerCase(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string NormalizeName(const std::string& name) {
    std::string out;
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        char c = i < name.size() ? name[i] : '\0';
        if (c == '\\' || c == '/' || c == '\0') {
            if (!part.empty() && part != ".") {
                out += out.empty() ? "" : "/";
                out += part;
            }
            part.clear();
            if (c == '\0') {
                break;
            }
        } else {
            part += c;
        }
    }
    return LowerCase(out);
}

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    std::fclose(file);
    return bytes;
}
