#include "patch/record_info.h"

#include <cstring>

#include "patch/record_reader.h"

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
    RecordHeader header;
    bool valid = ParseRecordHeader(record, recordLength, &header);
    // The operation is shown even when it is the field that is wrong.
    info->operation = header.operation;
    info->sourceCrc = header.sourceCrc;
    info->targetCrc = header.targetCrc;
    if (!valid) {
        return false;
    }
    size_t textLength = std::strlen(header.name);
    if (textLength >= sizeof info->name) {
        textLength = sizeof info->name - 1;
    }
    std::memcpy(info->name, header.name, textLength);
    info->name[textLength] = '\0';
    info->wellFormed = true;
    if (header.operation == OpDelete) {
        return true;
    }
    ChunkCursor cursor;
    BeginChunks(&cursor, record, recordLength, header, nullptr, 0);
    Chunk chunk;
    ChunkStep step;
    while ((step = NextChunk(&cursor, &chunk)) == ChunkTaken) {
        info->outputSize += chunk.length;
        if (chunk.type == ChunkCopy) {
            uint64_t end = static_cast<uint64_t>(chunk.sourceOffset) + chunk.length;
            if (end > info->maxCopyEnd) {
                info->maxCopyEnd = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
            }
            ++info->copyChunks;
            info->copiedBytes += chunk.length;
        } else {
            ++info->literalChunks;
        }
    }
    info->wellFormed = step == ChunkStreamEnd;
    return true;
}
