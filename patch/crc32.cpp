#include "patch/crc32.h"

#include <cstdlib>

#include "fileutil/fileutil.h"

// Bit by bit, without a table: the updater carries no tables it can do
// without, and reading the file costs more than the checksum.
uint32_t Crc32(int32_t length, const unsigned char* bytes) {
    if (length <= 0) {
        return 0;
    }
    uint32_t crc = kCrc32Preset;
    for (int32_t i = 0; i < length; ++i) {
        crc = Crc32StepByte(crc, bytes[i]);
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
