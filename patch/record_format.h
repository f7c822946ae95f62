// Layout of a patch record: a 28-byte header, the target name, then a stream
// of copy and literal chunks. All integers are 32-bit little-endian.
#pragma once

#include <cstdint>
#include <cstring>

#include "fileutil/le_bytes.h"

enum RecordOp : uint32_t { OpPatch = 0, OpWrite = 1, OpDelete = 2 };
enum ChunkType : uint32_t { ChunkCopy = 0, ChunkLiteral = 1 };

enum ApplyFlags : int32_t { SkipMissingTarget = 0x1, SkipSourceMismatch = 0x2 };

constexpr unsigned char kRecordMagic[4] = {0x44, 0x54, 0x41, 0x50}; // "DTAP"
constexpr uint32_t kRecordVersion = 1;
constexpr int32_t kRecordHeaderSize = 28;
constexpr int32_t kCopyChunkSize = 12;
constexpr int32_t kChunkHeadSize = 8;

// Header field offsets.
constexpr int32_t kOffMagic = 0;
constexpr int32_t kOffVersion = 4;
constexpr int32_t kOffReserved = 8;
constexpr int32_t kOffOperation = 12;
constexpr int32_t kOffSourceCrc = 16;
constexpr int32_t kOffTargetCrc = 20;
constexpr int32_t kOffNameLength = 24;
constexpr int32_t kOffName = 28;
