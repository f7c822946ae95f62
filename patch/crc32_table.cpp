// Crc32 for the tools, through the stream CRC's tables: the same values as
// the updater's bitwise Crc32, many times faster over the large trees that
// vnpatch applies and verifies. Linked as an object, it takes the place of
// the bitwise member of crc32_bitwise.
#include "patch/crc32.h"
#include "patch/crc32_stream.h"

uint32_t Crc32(int32_t length, const unsigned char* bytes) {
    if (length <= 0) {
        return 0;
    }
    return CrcOfBytes(bytes, static_cast<size_t>(length));
}
