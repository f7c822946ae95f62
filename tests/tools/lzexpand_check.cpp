// Files from our SZDD writer, expanded by the system's LZExpand (lz32):
// through LZRead in odd-sized pieces and through LZCopy, byte for byte.
#include <windows.h>

#include <lzexpand.h>

#include <cstdio>
#include <string>
#include <vector>

#include "payload/szdd_writer.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

bool ExpandWithLzRead(const std::string& path, ByteVector* out) {
    OFSTRUCT of;
    INT handle = LZOpenFileA(const_cast<char*>(path.c_str()), &of, OF_READ);
    if (handle < 0) {
        return false;
    }
    out->clear();
    unsigned char buffer[7001];
    for (INT piece = 1;; piece = piece * 5 % 7001 + 1) {
        INT got = LZRead(handle, reinterpret_cast<char*>(buffer), piece);
        if (got < 0) {
            LZClose(handle);
            return false;
        }
        out->insert(out->end(), buffer, buffer + got);
        if (got < piece) {
            break;
        }
    }
    LZClose(handle);
    return true;
}

bool ExpandWithLzCopy(const std::string& from, const std::string& to, ByteVector* out) {
    OFSTRUCT ofFrom;
    OFSTRUCT ofTo;
    INT source = LZOpenFileA(const_cast<char*>(from.c_str()), &ofFrom, OF_READ);
    INT target = LZOpenFileA(const_cast<char*>(to.c_str()), &ofTo, OF_CREATE);
    bool ok = source >= 0 && target >= 0 && LZCopy(source, target) >= 0;
    if (source >= 0) {
        LZClose(source);
    }
    if (target >= 0) {
        LZClose(target);
    }
    return ok && ReadFile(to, out);
}

} // namespace

int main() {
    ScratchDir scratch;
    if (scratch.path.empty()) {
        std::printf("no temporary directory\n");
        return 1;
    }
    std::string base = scratch.At("lzcheck");
    std::vector<std::pair<std::string, ByteVector>> samples;
    samples.push_back({"empty", {}});
    samples.push_back({"one", {'Q'}});
    samples.push_back({"spaces", ByteVector(6000, ' ')});
    samples.push_back({"run", ByteVector(50000, 7)});
    samples.push_back({"random", RandomBytes(30000, 1)});
    std::string text;
    for (int i = 0; i < 4000; ++i) {
        text += "record " + std::to_string(i % 97) + " of the course file\r\n";
    }
    samples.push_back({"text", ByteVector(text.begin(), text.end())});
    ByteVector period = RandomBytes(4095, 2);
    ByteVector edge;
    for (int i = 0; i < 30; ++i) {
        edge.insert(edge.end(), period.begin(), period.end());
        edge.push_back(static_cast<unsigned char>(i));
    }
    samples.push_back({"window_edge", edge});

    int passed = 0;
    int failed = 0;
    for (const auto& sample : samples) {
        std::string packedPath = base + "_" + sample.first + ".sz";
        std::string copyPath = base + "_" + sample.first + ".out";
        ByteVector packed;
        ByteVector viaRead;
        ByteVector viaCopy;
        bool ok = SzddCompressBuffer(sample.second.data(), sample.second.size(), &packed) &&
                  WriteFile(packedPath, packed) && ExpandWithLzRead(packedPath, &viaRead) &&
                  viaRead == sample.second && ExpandWithLzCopy(packedPath, copyPath, &viaCopy) &&
                  viaCopy == sample.second;
        std::printf("%-12s %7zu bytes -> %7zu: %s\n", sample.first.c_str(), sample.second.size(),
                    packed.size(), ok ? "ok" : "MISMATCH");
        DeleteFileA(packedPath.c_str());
        DeleteFileA(copyPath.c_str());
        if (ok) {
            ++passed;
        } else {
            ++failed;
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
