// Reading a record without applying it: what the tools show and check.
#pragma once

#include <cstdint>

#include "patch/record_format.h"

struct RecordInfo {
    uint32_t operation;
    uint32_t sourceCrc;
    uint32_t targetCrc;
    char name[260];
    int32_t copyChunks;
    int32_t literalChunks;
    int64_t outputSize;  // bytes the chunk stream produces
    int64_t copiedBytes; // of those, taken from the old file
    uint32_t maxCopyEnd; // old contents a copy chunk reaches, at least
    bool wellFormed;     // header, name and chunks all inside the record
};

// False when the header is not a valid record header (magic, version,
// operation, name inside the record); info is then partly filled.
bool DescribeRecord(const unsigned char* record, int32_t recordLength, RecordInfo* info);
const char* OperationName(uint32_t operation);
