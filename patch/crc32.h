// CRC-32/BZIP2 checksums of byte blocks and whole files, as the engine
// verifies them.
#pragma once

#include <cstddef>
#include <cstdint>

// Polynomial 0x04C11DB7, preset 0xFFFFFFFF, not reflected, complemented.
constexpr uint32_t kCrc32Polynomial = 0x04C11DB7u;
constexpr uint32_t kCrc32Preset = 0xFFFFFFFFu;

// One register step over a byte, bit by bit.
constexpr uint32_t Crc32StepByte(uint32_t crc, unsigned char byte) {
    crc ^= static_cast<uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit) {
        // The mask keeps the step branch-free.
        uint32_t mask = 0u - (crc >> 31);
        crc = (crc << 1) ^ (kCrc32Polynomial & mask);
    }
    return crc;
}

// A length of 0 or less gives 0.
uint32_t Crc32(int32_t length, const unsigned char* bytes);
// Crc32 of the whole file; 0 when it cannot be read or is empty.
uint32_t FileChecksum(const char* path);
