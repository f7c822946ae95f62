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

struct CrcTable {
    uint32_t entry[256];
};

constexpr CrcTable MakeTable() {
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        table.entry[i] = StepByte(0, static_cast<unsigned char>(i));
    }
    return table;
}

constexpr CrcTable kTable = MakeTable();

} // namespace

uint32_t Crc32Update(uint32_t reg, const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        reg = (reg << 8) ^ kTable.entry[(reg >> 24) ^ bytes[i]];
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
