// SZDD mode 'A' compressor: the LZSS scheme that the SZDD reader and
// LZExpand decode. The parse is optimal for the format's fixed costs (a
// literal is 9 bits, a match of 3 to 18 bytes is 17 bits), so only the
// longest match at each position is needed; a binary search tree over the
// window (one tree per 3-byte hash, newest position at the root) finds it
// exactly, with no bound on the candidates tried.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

constexpr int kSzddBlockSize = 1 << 16; // positions parsed together
constexpr int kSzddMaxMatch = 18;
constexpr int kSzddMinMatch = 3;
constexpr int kSzddMaxDistance = 4095; // 4096 would read the byte being written
constexpr int kSzddHashSize = 1 << 16;
constexpr int kSzddTreeRing = 8192; // > window, so live nodes are never reused
constexpr int kSzddBufferSize = 4096 + 2 * kSzddBlockSize + 64;
constexpr uint32_t kSzddMaxInput = 0xFFFF0000u; // the header's length is 32-bit

struct SzddWriter {
    // Input as virtual positions: 4096 spaces (the decoder's preset window)
    // come before the first byte, so matches can take from them.
    std::vector<unsigned char> buffer; // holds virtual positions base .. end - 1
    uint32_t base;
    uint32_t cursor;            // next position to encode
    uint32_t end;               // one past the last byte fed
    uint32_t nextInsert;        // next position to enter into the trees
    std::vector<uint32_t> head; // hash -> root: the latest position, 0 for none
    std::vector<uint32_t> less; // position % ring -> root of its smaller strings
    std::vector<uint32_t> more; // position % ring -> root of its greater strings
    bool failed;                // input too long
    // Parse of one block.
    std::vector<unsigned char> matchLength;
    std::vector<uint16_t> matchWindowPos;
    std::vector<uint32_t> cost;
    std::vector<unsigned char> choice;
    // Output: groups of a flag byte and up to eight items.
    std::vector<unsigned char>* out;
    size_t flagAt;
    int flagBit;
    uint64_t produced;
};

// Starts a body written to *out (appended).
void SzddWriterBegin(SzddWriter* writer, std::vector<unsigned char>* out);
// Feeds input; may append compressed bytes to *out. False once more than
// kSzddMaxInput bytes came in.
bool SzddWriterFeed(SzddWriter* writer, const unsigned char* bytes, size_t count);
// Encodes what is left; the body is then complete.
bool SzddWriterFinish(SzddWriter* writer);

// The 14-byte header for a body of the given uncompressed length.
void SzddWriteHeader(unsigned char* header, uint32_t length, unsigned char missingChar = 0);

// Whole buffer in, whole SZDD file (header and body) out.
bool SzddCompressBuffer(const unsigned char* bytes, size_t count, std::vector<unsigned char>* out);
// File to file, streamed; false (and no output file left) when the input
// cannot be read, is too long, or the output cannot be written.
bool SzddCompressFile(const char* inPath, const char* outPath);
