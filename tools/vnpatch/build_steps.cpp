#include "tools/vnpatch/build_steps.h"

#include <cstdlib>
#include <vector>

#include "fileutil/fileutil.h"
#include "fileutil/platform_process.h"
#include "patch/record_writer.h"

namespace {

bool CopyBytes(FILE* from, FILE* to, uint64_t count) {
    std::vector<unsigned char> buffer(1 << 20);
    while (count > 0) {
        size_t n = count < buffer.size() ? static_cast<size_t>(count) : buffer.size();
        if (std::fread(buffer.data(), 1, n, from) != n ||
            std::fwrite(buffer.data(), 1, n, to) != n) {
            return false;
        }
        count -= n;
    }
    return true;
}

} // namespace

int64_t StreamSize(const PlannedRecord& record) {
    return record.kind == StreamWholeFile ? kChunkHeadSize + int64_t(record.wholeSize)
           : record.kind == StreamSpooled ? record.spoolLength
                                          : 0;
}

bool SpoolDelta(const TreeFile& old, const TreeFile& newFile, FILE* spool, int32_t minCopy,
                DeltaProgress progress, void* context, DeltaStats* stats, std::string* error) {
    unsigned char* contents = nullptr;
    int32_t oldSize = ReadWholeFile(&contents, old.path.c_str());
    if (oldSize < 0) {
        *error = "cannot read " + old.path;
        return false;
    }
    FILE* in = PlatformOpenStream(newFile.path.c_str(), "rb");
    if (in == nullptr) {
        std::free(contents);
        *error = "cannot read " + newFile.path;
        return false;
    }
    BlockIndex* index = new BlockIndex;
    BuildBlockIndex(index, contents, static_cast<uint32_t>(oldSize));
    ChunkSink* sink = new ChunkSink;
    SinkBegin(sink, spool);
    bool ok = EncodeDelta(index, in, sink, minCopy, progress, context);
    *stats = sink->stats;
    delete sink;
    delete index;
    std::fclose(in);
    std::free(contents);
    if (!ok) {
        *error = "cannot read " + newFile.path + " or write the spool file";
    } else if (static_cast<uint64_t>(stats->outputSize) != newFile.size) {
        *error = newFile.path + " changed while it was read";
        ok = false;
    }
    return ok;
}

bool AddPlannedEntry(ArchiveWriter* writer, const char* entryName, const PlannedRecord& record,
                     FILE* spool) {
    ByteVector head;
    BeginRecord(&head, record.op, record.sourceCrc, record.targetCrc, record.name.c_str());
    int64_t stream = StreamSize(record);
    if (record.kind == StreamWholeFile) {
        AppendLe32(&head, ChunkLiteral);
        AppendLe32(&head, static_cast<uint32_t>(record.wholeSize));
        stream -= kChunkHeadSize;
    }
    uint32_t recordLength = static_cast<uint32_t>(head.size() + stream);
    bool ok = ArchiveBeginEntry(writer, entryName, recordLength) &&
              std::fwrite(head.data(), 1, head.size(), writer->file) == head.size();
    if (ok && record.kind == StreamSpooled) {
        ok = PlatformSeek64(spool, record.spoolOffset, SEEK_SET) &&
             CopyBytes(spool, writer->file, static_cast<uint64_t>(stream));
    } else if (ok && record.kind == StreamWholeFile) {
        FILE* in = PlatformOpenStream(record.wholePath.c_str(), "rb");
        ok = in != nullptr && CopyBytes(in, writer->file, record.wholeSize);
        if (in != nullptr) {
            std::fclose(in);
        }
    }
    return ok;
}
