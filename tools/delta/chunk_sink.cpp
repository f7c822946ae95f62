#include "tools/delta/chunk_sink.h"

#include <cstring>

#include "patch/record_format.h"
#include "patch/record_writer.h"

namespace {

constexpr size_t kSinkFlush = 1 << 20;

void Flush(ChunkSink* sink) {
    if (!sink->pending.empty() && !sink->failed) {
        sink->failed = std::fwrite(sink->pending.data(), 1, sink->pending.size(), sink->file) !=
                       sink->pending.size();
    }
    sink->pending.clear();
}

void EmitCopy(ChunkSink* sink) {
    if (!sink->haveCopy) {
        return;
    }
    AppendCopyChunk(&sink->pending, sink->copyOffset, sink->copyLength);
    sink->stats.streamBytes += kCopyChunkSize;
    ++sink->stats.copyChunks;
    sink->haveCopy = false;
    if (sink->pending.size() >= kSinkFlush) {
        Flush(sink);
    }
}

} // namespace

void SinkBegin(ChunkSink* sink, FILE* file) {
    sink->file = file;
    sink->failed = false;
    sink->pending.clear();
    sink->haveCopy = false;
    sink->copyOffset = 0;
    sink->copyLength = 0;
    std::memset(&sink->stats, 0, sizeof sink->stats);
}

void SinkCopy(ChunkSink* sink, uint32_t offset, uint32_t length) {
    if (length == 0) {
        return;
    }
    sink->stats.copiedBytes += length;
    sink->stats.outputSize += length;
    if (sink->haveCopy && sink->copyOffset + sink->copyLength == offset &&
        sink->copyLength <= 0x7FFFFFFFu - length) {
        sink->copyLength += length;
        return;
    }
    EmitCopy(sink);
    sink->haveCopy = true;
    sink->copyOffset = offset;
    sink->copyLength = length;
}

void SinkLiteral(ChunkSink* sink, const unsigned char* bytes, uint32_t length) {
    if (length == 0) {
        return; // a pending copy may still grow
    }
    EmitCopy(sink);
    while (length > 0) {
        uint32_t n = length < kDeltaMaxLiteral ? length : kDeltaMaxLiteral;
        AppendLiteralChunk(&sink->pending, bytes, n);
        sink->stats.streamBytes += kChunkHeadSize + n;
        sink->stats.literalBytes += n;
        sink->stats.outputSize += n;
        ++sink->stats.literalChunks;
        if (sink->pending.size() >= kSinkFlush) {
            Flush(sink);
        }
        bytes += n;
        length -= n;
    }
}

bool SinkFinish(ChunkSink* sink) {
    EmitCopy(sink);
    Flush(sink);
    return !sink->failed;
}
