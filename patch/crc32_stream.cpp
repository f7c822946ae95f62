#include "patch/crc32_stream.h"

#include <cstdio>
#include <vector>

#include "fileutil/platform.h"

namespace {

// entry[0] steps the register over one byte; entry[k] over one byte followed
// by k zero bytes, so eight bytes take eight independent lookups.
struct CrcTable {
    uint32_t entry[8][256];
};

constexpr CrcTable MakeTable() {
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        table.entry[0][i] = Crc32StepByte(0, static_cast<unsigned char>(i));
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t previous = table.entry[k - 1][i];
            table.entry[k][i] = (previous << 8) ^ table.entry[0][previous >> 24];
        }
    }
    return table;
}

constexpr CrcTable kTable = MakeTable();

uint32_t BigEndian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

uint32_t Crc32Update(uint32_t reg, const unsigned char* bytes, size_t count) {
    const auto& t = kTable.entry;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint32_t high = reg ^ BigEndian32(bytes + i);
        uint32_t low = BigEndian32(bytes + i + 4);
        reg = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^
              t[4][high & 0xFF] ^ t[3][low >> 24] ^ t[2][(low >> 16) & 0xFF] ^
              t[1][(low >> 8) & 0xFF] ^ t[0][low & 0xFF];
    }
    for (; i < count; ++i) {
        reg = (reg << 8) ^ t[0][(reg >> 24) ^ bytes[i]];
    }
    return reg;
}

void CrcBegin(CrcStream* crc) {
    crc->reg = kCrc32Preset;
    crc->length = 0;
    crc->fingerprint = 14695981039346656037ull;
}

void CrcUpdate(CrcStream* crc, const unsigned char* bytes, size_t count) {
    uint64_t fp = crc->fingerprint;
    for (size_t i = 0; i < count; ++i) {
        fp = (fp ^ bytes[i]) * 1099511628211ull;
    }
    crc->reg = Crc32Update(crc->reg, bytes, count);
    crc->fingerprint = fp;
    crc->length += count;
}

uint32_t CrcOfBytes(const unsigned char* bytes, size_t count) {
    return Crc32Finish(Crc32Update(kCrc32Preset, bytes, count), count);
}

uint32_t CrcValue(const CrcStream* crc) {
    return Crc32Finish(crc->reg, crc->length);
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
