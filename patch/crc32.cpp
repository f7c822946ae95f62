#include "patch/crc32.h"

#include <cstdlib>

#include "fileutil/fileutil.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;

// One register step over a byte, bit by bit.
constexpr uint32_t StepByte(uint32_t crc, unsigned char byte) {
    crc ^= static_cast<uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit) {
        // The mask keeps the step branch-free.
        uint32_t mask = 0u - (crc >> 31);
        crc = (crc << 1) ^ (kPolynomial & mask);
    }
    return crc;
}

// entry[0] steps the register over one byte; entry[k] over one byte followed
// by k zero bytes, so eight bytes take eight independent lookups.
struct CrcTable {
    uint32_t entry[8][256];
};

constexpr CrcTable MakeTable() {
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        table.entry[0][i] = StepByte(0, static_cast<unsigned char>(i));
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

uint32_t Crc32(int32_t length, const unsigned char* bytes) {
    if (length <= 0) {
        return 0;
    }
    // Bit by bit, without a table.
    uint32_t crc = kCrc32Preset;
    for (int32_t i = 0; i < length; ++i) {
        crc = StepByte(crc, bytes[i]);
    }
    return ~crc;
}

uint32_t FileChecksum(const char* path) {
    unsigned char* contents = nullptr;
    int32_t size = ReadWholeFile(&contents, path);
    if (size < 0) {
        return 0;
    }
    uint32_t crc = Crc32(size, contents);
    std::free(contents);
    return crc;
}
