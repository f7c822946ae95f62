#include "patch/crc32.h"

#include <cstdlib>

#include "fileutil/fileutil.h"

uint32_t Crc32(int32_t length, const unsigned char* bytes) {
    if (length <= 0) {
        return 0;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (int32_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(bytes[i]) << 24;
        // Bit by bit, without a table; the mask keeps the step branch-free.
        for (int bit = 0; bit < 8; ++bit) {
            uint32_t mask = 0u - (crc >> 31);
            crc = (crc << 1) ^ (0x04C11DB7u & mask);
        }
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
