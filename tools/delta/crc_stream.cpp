#include "tools/delta/crc_stream.h"

#include <cstdio>
#include <vector>

#include "fileutil/platform.h"

namespace {

struct CrcTable {
    uint32_t entry[256];
};

constexpr CrcTable MakeTable() {
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
        }
        table.entry[i] = r;
    }
    return table;
}

constexpr CrcTable kTable = MakeTable();

} // namespace

void CrcBegin(CrcStream* crc) {
    crc->reg = 0xFFFFFFFFu;
    crc->length = 0;
    crc->fingerprint = 14695981039346656037ull;
}

void CrcUpdate(CrcStream* crc, const unsigned char* bytes, size_t count) {
    uint32_t reg = crc->reg;
    uint64_t fp = crc->fingerprint;
    for (size_t i = 0; i < count; ++i) {
        reg = (reg << 8) ^ kTable.entry[(reg >> 24) ^ bytes[i]];
        fp = (fp ^ bytes[i]) * 1099511628211ull;
    }
    crc->reg = reg;
    crc->fingerprint = fp;
    crc->length += count;
}

uint32_t CrcValue(const CrcStream* crc) {
    return crc->length == 0 ? 0 : ~crc->reg;
}

bool CrcOfFile(const char* path, uint32_t* crc, uint64_t* size, uint64_t* fingerprint) {
    FILE* file = PlatformOpenStream(path, "rb");
    if (file == nullptr) {
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    CrcStream stream;
    CrcBegin(&stream);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        CrcUpdate(&stream, buffer.data(), got);
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    *crc = CrcValue(&stream);
    *size = stream.length;
    *fingerprint = stream.fingerprint;
    return ok;
}
