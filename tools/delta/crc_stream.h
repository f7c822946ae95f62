// Incremental, table-driven CRC-32/BZIP2: the same value as Crc32 over the
// whole input, for files streamed in pieces.
#pragma once

#include <cstddef>
#include <cstdint>

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
