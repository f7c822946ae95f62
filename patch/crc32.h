// CRC-32/BZIP2 checksums of byte blocks and whole files.
#pragma once

#include <cstddef>
#include <cstdint>

// Polynomial 0x04C11DB7, preset 0xFFFFFFFF, not reflected, complemented.
// A length of 0 or less gives 0.
uint32_t Crc32(int32_t length, const unsigned char* bytes);
// The same checksum over data that comes in pieces, for the tools: begin with
// kCrc32Preset, feed every piece to Crc32Update (table-driven, for speed) and
// finish with Crc32Finish, which gives 0 for no bytes as Crc32 does.
constexpr uint32_t kCrc32Preset = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t reg, const unsigned char* bytes, size_t count);
inline uint32_t Crc32Finish(uint32_t reg, uint64_t totalLength) {
    return totalLength == 0 ? 0 : ~reg;
}
// Crc32 of the whole file; 0 when it cannot be read or is empty.
uint32_t FileChecksum(const char* path);
