#include <climits>
#include <cstring>

#include "fileutil/le_bytes.h"
#include "fileutil/platform.h"
#include "payload/szdd.h"

namespace {

void ResetDecoder(SzddReader* reader) {
    std::memset(reader->window, ' ', sizeof reader->window);
    reader->windowPos = kSzddWindowStart;
    reader->flags = 1;
    reader->matchLeft = 0;
    reader->matchPos = 0;
    reader->produced = 0;
    reader->inPos = 0;
    reader->inLength = 0;
}

bool Refill(SzddReader* reader) {
    reader->inLength = std::fread(reader->input, 1, sizeof reader->input, reader->file);
    reader->inPos = 0;
    return reader->inLength > 0;
}

// Decodes count bytes into out (or discards them when out is null). Returns
// the number produced; fewer than count only when the body ends early.
uint32_t Decode(SzddReader* reader, unsigned char* out, uint32_t count) {
    unsigned char* window = reader->window;
    uint32_t pos = reader->windowPos;
    uint32_t flags = reader->flags;
    uint32_t matchPos = reader->matchPos;
    uint32_t matchLeft = reader->matchLeft;
    size_t inPos = reader->inPos;
    size_t inLength = reader->inLength;
    const unsigned char* input = reader->input;
    uint32_t done = 0;

// Fetches one body byte into the variable, or leaves the loop at its end.
#define SZDD_NEXT_BYTE(var)                                                                        \
    if (inPos == inLength) {                                                                       \
        if (!Refill(reader)) {                                                                     \
            goto finished;                                                                         \
        }                                                                                          \
        inPos = 0;                                                                                 \
        inLength = reader->inLength;                                                               \
    }                                                                                              \
    var = input[inPos++]

    while (done < count) {
        if (matchLeft > 0) {
            uint32_t n = matchLeft < count - done ? matchLeft : count - done;
            matchLeft -= n;
            for (uint32_t i = 0; i < n; ++i) {
                unsigned char c = window[matchPos];
                matchPos = (matchPos + 1) & (kSzddWindowSize - 1);
                window[pos] = c;
                pos = (pos + 1) & (kSzddWindowSize - 1);
                if (out != nullptr) {
                    out[done + i] = c;
                }
            }
            done += n;
            continue;
        }
        if (flags == 1) {
            unsigned int flagByte;
            SZDD_NEXT_BYTE(flagByte);
            flags = flagByte | 0x100;
        }
        bool literal = (flags & 1) != 0;
        flags >>= 1;
        if (literal) {
            unsigned int c;
            SZDD_NEXT_BYTE(c);
            window[pos] = static_cast<unsigned char>(c);
            pos = (pos + 1) & (kSzddWindowSize - 1);
            if (out != nullptr) {
                out[done] = static_cast<unsigned char>(c);
            }
            ++done;
        } else {
            unsigned int b1;
            unsigned int b2;
            SZDD_NEXT_BYTE(b1);
            SZDD_NEXT_BYTE(b2);
            matchPos = b1 | ((b2 & 0xF0) << 4);
            matchLeft = (b2 & 0x0F) + 3;
        }
    }
#undef SZDD_NEXT_BYTE
finished:
    reader->windowPos = pos;
    reader->flags = flags;
    reader->matchPos = matchPos;
    reader->matchLeft = matchLeft;
    reader->inPos = inPos;
    reader->inLength = inLength;
    reader->produced += done;
    return done;
}

// Brings the decoder to the wanted position: forward by discarding, backward
// by starting again from the body's first byte.
bool Reposition(SzddReader* reader) {
    if (reader->wanted < reader->produced) {
        if (std::fseek(reader->file, kSzddHeaderSize, SEEK_SET) != 0) {
            return false;
        }
        ResetDecoder(reader);
    }
    uint32_t gap = reader->wanted - reader->produced;
    return Decode(reader, nullptr, gap) == gap;
}

} // namespace

bool SzddOpen(SzddReader* reader, const char* path) {
    reader->file = PlatformOpenStream(path, "rb");
    if (reader->file == nullptr) {
        return false;
    }
    reader->failed = false;
    reader->wanted = 0;
    ResetDecoder(reader);
    unsigned char header[kSzddHeaderSize];
    size_t got = std::fread(header, 1, sizeof header, reader->file);
    reader->compressed = got >= sizeof kSzddSignature &&
                         std::memcmp(header, kSzddSignature, sizeof kSzddSignature) == 0;
    if (reader->compressed) {
        if (got < sizeof header || header[8] != kSzddModeA) {
            std::fclose(reader->file);
            reader->file = nullptr;
            return false;
        }
        reader->length = ReadLe32(header + 10);
        return true;
    }
    long size = -1;
    if (std::fseek(reader->file, 0, SEEK_END) == 0) {
        size = std::ftell(reader->file);
    }
    if (size < 0 || std::fseek(reader->file, 0, SEEK_SET) != 0) {
        std::fclose(reader->file);
        reader->file = nullptr;
        return false;
    }
    reader->length = static_cast<uint32_t>(size);
    return true;
}

int32_t SzddRead(SzddReader* reader, unsigned char* out, int32_t count) {
    if (count < 0 || reader->failed) {
        return -1;
    }
    uint32_t left = reader->length > reader->wanted ? reader->length - reader->wanted : 0;
    uint32_t n = static_cast<uint32_t>(count) < left ? static_cast<uint32_t>(count) : left;
    if (!reader->compressed) {
        if (reader->produced != reader->wanted) {
            if (std::fseek(reader->file, static_cast<long>(reader->wanted), SEEK_SET) != 0) {
                return -1;
            }
            reader->produced = reader->wanted;
        }
        size_t got = std::fread(out, 1, n, reader->file);
        reader->produced += static_cast<uint32_t>(got);
        reader->wanted = reader->produced;
        return static_cast<int32_t>(got);
    }
    if (reader->wanted != reader->produced && !Reposition(reader)) {
        reader->failed = true;
        return -1;
    }
    uint32_t got = Decode(reader, out, n);
    reader->wanted = reader->produced;
    if (got < n) {
        reader->failed = true;
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t SzddReadBody(SzddReader* reader, unsigned char* out, int32_t count) {
    if (count < 0 || reader->failed) {
        return -1;
    }
    if (reader->wanted != reader->produced) {
        // Only a plain file can be repositioned without the declared length.
        if (reader->compressed ||
            std::fseek(reader->file, static_cast<long>(reader->wanted), SEEK_SET) != 0) {
            return -1;
        }
        reader->produced = reader->wanted;
    }
    uint32_t got;
    if (reader->compressed) {
        got = Decode(reader, out, static_cast<uint32_t>(count));
    } else {
        got = static_cast<uint32_t>(std::fread(out, 1, static_cast<size_t>(count), reader->file));
        reader->produced += got;
    }
    reader->wanted = reader->produced;
    if (got < static_cast<uint32_t>(count) && std::ferror(reader->file) != 0) {
        reader->failed = true;
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t SzddSeek(SzddReader* reader, int32_t offset, int origin) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? reader->wanted : reader->length;
    int64_t target = base + offset;
    // A position the signed 32-bit result cannot carry (a declared length of
    // 2 GiB or more) is refused rather than wrapped to a negative value.
    if (origin < 0 || origin > 2 || target < 0 || target > reader->length || target > INT32_MAX) {
        return -1;
    }
    reader->wanted = static_cast<uint32_t>(target);
    return static_cast<int32_t>(target);
}

void SzddClose(SzddReader* reader) {
    if (reader->file != nullptr) {
        std::fclose(reader->file);
        reader->file = nullptr;
    }
}
