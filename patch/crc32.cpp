#include "patch/crc32.h"

// Bit by bit, without a table: the updater carries no tables it can do
// without, and reading the file costs more than the checksum. This is the
// only member of its library, so that the tools can put the table-driven
// Crc32 (crc32_table.cpp) in its place when they are linked.
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
