// Incremental, table-driven CRC-32/BZIP2 for the tools: the same value as
// Crc32 over the whole input, for files streamed in pieces, and the tables
// behind the tools' own Crc32 (crc32_table.cpp). The tables stay in the
// tools; the updater checks with the bitwise Crc32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/crc32.h"

// Begin with kCrc32Preset, feed every piece to Crc32Update (eight bytes a
// step) and finish with Crc32Finish, which gives 0 for no bytes as Crc32 does.
uint32_t Crc32Update(uint32_t reg, const unsigned char* bytes, size_t count);
inline uint32_t Crc32Finish(uint32_t reg, uint64_t totalLength) {
    return totalLength == 0 ? 0 : ~reg;
}

// The checksum of a whole buffer, as records carry it (Crc32's value).
uint32_t CrcOfBytes(const unsigned char* bytes, size_t count);
inline uint32_t CrcOf(const std::vector<unsigned char>& bytes) {
    return CrcOfBytes(bytes.data(), bytes.size());
}

// The same with the length and a fingerprint kept.

struct CrcStream {
    uint32_t reg;
    uint64_t length;
    uint64_t fingerprint; // FNV-1a over the same bytes, to tell apart equal CRCs
};

void CrcBegin(CrcStream* crc);
void CrcUpdate(CrcStream* crc, const unsigned char* bytes, size_t count);
// The checksum Crc32 gives (0 for no bytes).
uint32_t CrcValue(const CrcStream* crc);

// Checksum, size and fingerprint of a whole file; false when it cannot be read.
bool CrcOfFile(const char* path, uint32_t* crc, uint64_t* size, uint64_t* fingerprint);
