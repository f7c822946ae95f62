#include "tools/delta/crc_stream.h"

#include <cstdio>
#include <vector>

#include "fileutil/platform.h"
#include "patch/crc32.h"

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
