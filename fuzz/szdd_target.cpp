// SZDD reader against a reference decoder written straight from the format.
#include <cstdio>
#include <cstring>
#include <string>

#include "fileutil/le_bytes.h"
#include "fuzz/scratch.h"
#include "fuzz/targets.h"
#include "payload/szdd.h"

namespace {

enum class Shape { Plain, Compressed, Refused };

// Decodes the body into out, stopping at the declared length or at the end of
// the input, whichever comes first.
Shape ReferenceDecode(const uint8_t* data, size_t size, std::string* out, uint32_t* length) {
    if (size < 8 || std::memcmp(data, kSzddSignature, 8) != 0) {
        out->assign(reinterpret_cast<const char*>(data), size);
        *length = static_cast<uint32_t>(size);
        return Shape::Plain;
    }
    if (size < 14 || data[8] != 'A') {
        return Shape::Refused;
    }
    *length = ReadLe32(data + 10);
    unsigned char window[4096];
    std::memset(window, ' ', sizeof window);
    unsigned pos = 4080;
    size_t in = 14;
    while (out->size() < *length && in < size) {
        unsigned flags = data[in++];
        for (int bit = 0; bit < 8 && out->size() < *length; ++bit) {
            if (flags & (1u << bit)) {
                if (in >= size) {
                    return Shape::Compressed;
                }
                window[pos] = data[in++];
                out->push_back(static_cast<char>(window[pos]));
                pos = (pos + 1) % 4096;
            } else {
                if (in + 1 >= size) {
                    return Shape::Compressed;
                }
                unsigned p = data[in] | ((data[in + 1] & 0xF0u) << 4);
                unsigned n = (data[in + 1] & 0x0Fu) + 3;
                in += 2;
                for (unsigned k = 0; k < n && out->size() < *length; ++k) {
                    unsigned char c = window[p];
                    p = (p + 1) % 4096;
                    window[pos] = c;
                    out->push_back(static_cast<char>(c));
                    pos = (pos + 1) % 4096;
                }
            }
        }
    }
    return Shape::Compressed;
}

SzddReader g_reader;

// What a read of count bytes at pos must deliver: the bytes, or -1 where the
// body ends before the declared length.
int64_t Expected(const std::string& ref, uint32_t length, uint64_t pos, int32_t count) {
    uint64_t left = length > pos ? length - pos : 0;
    uint64_t n = static_cast<uint64_t>(count) < left ? static_cast<uint64_t>(count) : left;
    return pos + n <= ref.size() ? static_cast<int64_t>(n) : -1;
}

bool CheckRead(const std::string& ref, uint32_t length, uint64_t pos, int32_t count,
               unsigned char* buffer, const char* step) {
    int32_t got = SzddRead(&g_reader, buffer, count);
    int64_t want = Expected(ref, length, pos, count);
    if (got != want) {
        std::fprintf(stderr, "szdd: %s: read %d at %llu gave %d, expected %lld\n", step, count,
                     static_cast<unsigned long long>(pos), got, static_cast<long long>(want));
        return false;
    }
    if (got > 0 && std::memcmp(buffer, ref.data() + pos, static_cast<size_t>(got)) != 0) {
        std::fprintf(stderr, "szdd: %s: bytes at %llu differ\n", step,
                     static_cast<unsigned long long>(pos));
        return false;
    }
    return true;
}

unsigned char g_buffer[100000];

} // namespace

bool FuzzSzddInput(const uint8_t* data, size_t size) {
    std::string path = WriteScratchBlob("szdd.in", data, size);
    if (path.empty()) {
        return true;
    }
    std::string ref;
    uint32_t length = 0;
    Shape shape = ReferenceDecode(data, size, &ref, &length);
    bool opened = SzddOpen(&g_reader, path.c_str());
    if (opened != (shape != Shape::Refused)) {
        std::fprintf(stderr, "szdd: open gave %d\n", opened);
        if (opened) {
            SzddClose(&g_reader);
        }
        return false;
    }
    if (!opened) {
        return true;
    }
    bool ok = g_reader.length == length;
    // Pass 1: the whole stream in reads of varying sizes.
    static const int32_t kSizes[] = {1, 3, 17, 4096, 100000, 0, 2};
    uint64_t pos = 0;
    for (int i = 0; ok; ++i) {
        int32_t count = kSizes[i % 7];
        int64_t want = Expected(ref, length, pos, count);
        ok = CheckRead(ref, length, pos, count, g_buffer, "pass 1");
        if (want <= 0 && count > 0) {
            break;
        }
        pos += static_cast<uint64_t>(want);
    }
    SzddClose(&g_reader);
    // Pass 2: seeks from every origin on a fresh reader. A read that fails
    // leaves the reader failed, so the checks stop at the first expected -1.
    if (ok && SzddOpen(&g_reader, path.c_str())) {
        uint64_t third = ref.size() / 3;
        bool alive = true;
        ok = SzddSeek(&g_reader, static_cast<int32_t>(third), 1) == static_cast<int32_t>(third);
        if (ok) {
            ok = CheckRead(ref, length, third, 64, g_buffer, "forward seek");
            alive = Expected(ref, length, third, 64) >= 0;
        }
        if (ok && alive &&
            SzddSeek(&g_reader, static_cast<int32_t>(third / 2), 0) ==
                static_cast<int32_t>(third / 2)) {
            ok = CheckRead(ref, length, third / 2, 300, g_buffer, "backward seek");
            alive = Expected(ref, length, third / 2, 300) >= 0;
        }
        if (ok && alive && length <= 0x7FFFFFFF) {
            ok = SzddSeek(&g_reader, 1, 2) == -1 && SzddSeek(&g_reader, -1, 0) == -1;
            if (ok && length >= 5 &&
                SzddSeek(&g_reader, -5, 2) == static_cast<int32_t>(length - 5)) {
                ok = CheckRead(ref, length, length - 5, 10, g_buffer, "seek from end");
            }
        }
        SzddClose(&g_reader);
        if (!ok) {
            std::fprintf(stderr, "szdd: pass 2 failed\n");
        }
    }
    return ok;
}
