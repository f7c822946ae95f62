#include "patch/record_writer.h"

#include <cstring>

void AppendLe32(ByteVector* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out->push_back(static_cast<unsigned char>(value >> shift));
    }
}

void BeginRecord(ByteVector* record, RecordOp op, uint32_t sourceCrc, uint32_t targetCrc,
                 const char* name) {
    record->clear();
    for (unsigned char c : kRecordMagic) {
        record->push_back(c);
    }
    AppendLe32(record, kRecordVersion);
    AppendLe32(record, 0);
    AppendLe32(record, op);
    AppendLe32(record, sourceCrc);
    AppendLe32(record, targetCrc);
    uint32_t nameLength = static_cast<uint32_t>(std::strlen(name)) + 1;
    AppendLe32(record, nameLength);
    record->insert(record->end(), name, name + nameLength);
}

void AppendCopyChunk(ByteVector* record, uint32_t sourceOffset, uint32_t length) {
    AppendLe32(record, ChunkCopy);
    AppendLe32(record, length);
    AppendLe32(record, sourceOffset);
}

void AppendLiteralChunk(ByteVector* record, const unsigned char* bytes, uint32_t length) {
    AppendLe32(record, ChunkLiteral);
    AppendLe32(record, length);
    record->insert(record->end(), bytes, bytes + length);
}
