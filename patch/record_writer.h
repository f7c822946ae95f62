// Writing patch records, for the tools that build archives and for tests.
#pragma once

#include <cstdint>
#include <vector>

#include "patch/record_format.h"

typedef std::vector<unsigned char> ByteVector;

// Starts a record: header and NUL-terminated name; chunks follow.
void BeginRecord(ByteVector* record, RecordOp op, uint32_t sourceCrc, uint32_t targetCrc,
                 const char* name);
void AppendCopyChunk(ByteVector* record, uint32_t sourceOffset, uint32_t length);
void AppendLiteralChunk(ByteVector* record, const unsigned char* bytes, uint32_t length);
void AppendLe32(ByteVector* out, uint32_t value);
