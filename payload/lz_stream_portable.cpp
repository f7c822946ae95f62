// LZ stream operations over the portable SZDD reader. Handles index a small
// table of readers; each reader is a heap block that holds its buffers.
#include <atomic>
#include <cstdlib>

#include "payload/lz_stream.h"
#include "payload/szdd.h"

namespace {

constexpr int kMaxHandles = 16;
std::atomic<SzddReader*> g_readers[kMaxHandles];

SzddReader* ReaderOf(int32_t handle) {
    if (handle < 0 || handle >= kMaxHandles) {
        return nullptr;
    }
    return g_readers[handle].load(std::memory_order_acquire);
}

} // namespace

int32_t LzOpenRead(const char* path) {
    SzddReader* reader = static_cast<SzddReader*>(std::malloc(sizeof(SzddReader)));
    if (reader == nullptr) {
        return -1;
    }
    if (!SzddOpen(reader, path)) {
        std::free(reader);
        return -1;
    }
    for (int32_t i = 0; i < kMaxHandles; ++i) {
        SzddReader* empty = nullptr;
        if (g_readers[i].compare_exchange_strong(empty, reader, std::memory_order_acq_rel)) {
            return i;
        }
    }
    SzddClose(reader);
    std::free(reader);
    return -1;
}

int32_t LzReadBytes(int32_t handle, void* buffer, int32_t count) {
    SzddReader* reader = ReaderOf(handle);
    return reader != nullptr ? SzddRead(reader, static_cast<unsigned char*>(buffer), count) : -1;
}

int32_t LzSeekBytes(int32_t handle, int32_t offset, int32_t origin) {
    SzddReader* reader = ReaderOf(handle);
    return reader != nullptr ? SzddSeek(reader, offset, origin) : -1;
}

void LzCloseHandle(int32_t handle) {
    SzddReader* reader = nullptr;
    if (handle >= 0 && handle < kMaxHandles) {
        reader = g_readers[handle].exchange(nullptr, std::memory_order_acq_rel);
    }
    if (reader != nullptr) {
        SzddClose(reader);
        std::free(reader);
    }
}
