#include "fuzz/scratch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fileutil/path.h"

using testsupport::RandomBytes;
using testsupport::TextBytes;
using testsupport::Tree;

namespace {

// Bytes from offset, count of them.
ByteVector Slice(const ByteVector& bytes, size_t offset, size_t count) {
    return ByteVector(bytes.begin() + static_cast<long>(offset),
                      bytes.begin() + static_cast<long>(offset + count));
}

void RemoveRootAtExit() {
    testsupport::RemoveTree(ScratchRoot());
}

} // namespace

const Tree& ScratchTree() {
    static const Tree tree = {
        {"CAR/NR33.bin", RandomBytes(3000, 1)},
        // A run killed mid-rebuild: the first 1000 bytes of the seed record's
        // output (which opens with the old file's second half) beside the
        // full backup.
        {"course/OVAL.bin", Slice(RandomBytes(5000, 2), 2500, 1000)},
        {"course/OVAL.bin.bak", RandomBytes(5000, 2)},
        // Killed between the rename and the first write: backup only.
        {"course/HILL.bin.bak", RandomBytes(2000, 3)},
        // A stale backup that matches no record.
        {"font/font_01.mft",
         TextBytes(std::string("font_01 metrics v1 \x01\x02\x03\x04 end of file\n"))},
        {"font/font_01.mft.bak", TextBytes("unrelated leftover")},
        {"readme.txt", TextBytes("Varnelo\r\n")},
    };
    return tree;
}

ByteVector ScratchOriginal(const std::string& path) {
    auto backup = ScratchTree().find(path + ".bak");
    return backup != ScratchTree().end() ? backup->second : ScratchTree().at(path);
}

const std::string& ScratchRoot() {
    static std::string root;
    if (root.empty()) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, "%s/varnelo-scratch-%d", base,
                      static_cast<int>(getpid()));
        root = buffer;
        testsupport::RemoveTree(root);
        testsupport::MakeDirectory(root);
        std::atexit(RemoveRootAtExit);
    }
    return root;
}

std::string ScratchInstallDir() {
    return ScratchRoot() + "/inst/";
}

bool ResetScratch() {
    const std::string& root = ScratchRoot();
    testsupport::RemoveTree(root + "/inst");
    bool ok = testsupport::WriteFile(root + "/outside.bin", TextBytes("outside"));
    return testsupport::WriteTree(root + "/inst", ScratchTree()) && ok;
}

bool OutsideIntact() {
    ByteVector outside;
    return testsupport::ReadFile(ScratchRoot() + "/outside.bin", &outside) &&
           outside == TextBytes("outside");
}

std::string WriteScratchBlob(const char* name, const unsigned char* data, size_t size) {
    std::string path = ScratchRoot() + "/" + name;
    return testsupport::WriteFile(path, ByteVector(data, data + size)) ? path : std::string();
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
    FoldCaseInPlace(out.data(), out.size());
    return out;
}
