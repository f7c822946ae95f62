// SZDD envelope (LZExpand mode 'A') and the portable reader behind the LZ
// stream operations. A file without the SZDD signature reads as its own bytes.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr unsigned char kSzddSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
constexpr int kSzddHeaderSize = 14;
constexpr unsigned char kSzddModeA = 'A';
constexpr int kSzddWindowSize = 4096;
constexpr int kSzddWindowStart = 4096 - 16;

constexpr int kSzddInputSize = 1 << 16;

struct SzddReader {
    FILE* file;
    bool compressed;
    uint32_t length;   // decompressed length (file size for a plain file)
    uint32_t produced; // bytes decoded so far
    uint32_t wanted;   // read position asked for by a seek
    bool failed;       // truncated body or read error
    // Decoder state between calls.
    uint32_t windowPos;
    uint32_t flags; // flag byte with a marker bit above the unused bits
    uint32_t matchPos;
    uint32_t matchLeft;
    size_t inPos;
    size_t inLength;
    unsigned char window[kSzddWindowSize];
    unsigned char input[kSzddInputSize];
};

// Opens the file and reads its header. False (nothing left open) when the file
// cannot be opened, or begins with the signature but has a short header or a
// mode other than 'A'.
bool SzddOpen(SzddReader* reader, const char* path);
// Delivers up to count bytes from the read position; fewer only at the end of
// the stream, -1 when the body is cut short or unreadable.
int32_t SzddRead(SzddReader* reader, unsigned char* out, int32_t count);
// Reads on from the read position until the body ends, whatever length the
// header declares: what the body holds (a plain file's own bytes). Count
// delivered, 0 at the body's end, -1 on a read error. For tools that accept
// envelopes whose header and body disagree; the patch worker stays with
// SzddRead.
int32_t SzddReadBody(SzddReader* reader, unsigned char* out, int32_t count);
// Moves the read position (origin 0 start, 1 current, 2 end); the new
// position, or -1 when it would leave the stream or lie at 2 GiB or beyond.
int32_t SzddSeek(SzddReader* reader, int32_t offset, int origin);
void SzddClose(SzddReader* reader);
