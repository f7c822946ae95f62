#include "patch/record_info.h"

#include <cstring>

const char* OperationName(uint32_t operation) {
    switch (operation) {
    case OpPatch:
        return "patch";
    case OpWrite:
        return "write";
    case OpDelete:
        return "delete";
    default:
        return "invalid";
    }
}

bool DescribeRecord(const unsigned char* record, int32_t recordLength, RecordInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->operation = 0xFFFFFFFFu;
    if (recordLength < kRecordHeaderSize || std::memcmp(record, kRecordMagic, 4) != 0 ||
        ReadLe32(record + kOffVersion) != kRecordVersion) {
        return false;
    }
    info->operation = ReadLe32(record + kOffOperation);
    info->sourceCrc = ReadLe32(record + kOffSourceCrc);
    info->targetCrc = ReadLe32(record + kOffTargetCrc);
    uint32_t nameLength = ReadLe32(record + kOffNameLength);
    if (info->operation > OpDelete || nameLength == 0 ||
        nameLength > static_cast<uint32_t>(recordLength - kRecordHeaderSize)) {
        return false;
    }
    const char* name = reinterpret_cast<const char*>(record + kOffName);
    const void* nul = std::memchr(name, '\0', nameLength);
    if (nul == nullptr) {
        return false;
    }
    size_t textLength = static_cast<const char*>(nul) - name;
    if (textLength >= sizeof info->name) {
        textLength = sizeof info->name - 1;
    }
    std::memcpy(info->name, name, textLength);
    info->name[textLength] = '\0';
    if (info->operation == OpDelete) {
        info->wellFormed = true;
        return true;
    }
    int64_t pos = kRecordHeaderSize + static_cast<int64_t>(nameLength);
    info->wellFormed = true;
    while (pos < recordLength) {
        if (recordLength - pos < kChunkHeadSize) {
            info->wellFormed = false;
            break;
        }
        uint32_t type = ReadLe32(record + pos);
        uint32_t length = ReadLe32(record + pos + 4);
        if (type == ChunkCopy) {
            if (recordLength - pos < kCopyChunkSize || info->operation == OpWrite) {
                info->wellFormed = false;
                break;
            }
            uint64_t end = static_cast<uint64_t>(ReadLe32(record + pos + 8)) + length;
            if (end > info->maxCopyEnd) {
                info->maxCopyEnd = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
            }
            ++info->copyChunks;
            info->copiedBytes += length;
            info->outputSize += length;
            pos += kCopyChunkSize;
        } else {
            if ((info->operation == OpPatch && type != ChunkLiteral) ||
                length > static_cast<uint64_t>(recordLength - pos - kChunkHeadSize)) {
                info->wellFormed = false;
                break;
            }
            ++info->literalChunks;
            info->outputSize += length;
            pos += kChunkHeadSize + length;
        }
    }
    return true;
}
