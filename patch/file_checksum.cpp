#include <cstdlib>

#include "fileutil/fileutil.h"
#include "patch/crc32.h"

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
