// CRC-32/BZIP2 checksums of byte blocks and whole files.
#pragma once

#include <cstdint>

// Polynomial 0x04C11DB7, preset 0xFFFFFFFF, not reflected, complemented.
// A length of 0 or less gives 0.
uint32_t Crc32(int32_t length, const unsigned char* bytes);
// Crc32 of the whole file; 0 when it cannot be read or is empty.
uint32_t FileChecksum(const char* path);
