// LZ stream operations over the system's LZExpand (lz32).
#include <windows.h>

#include <lzexpand.h>

#include "payload/lz_stream.h"

int32_t LzOpenRead(const char* path) {
    OFSTRUCT unused;
    return LZOpenFileA(const_cast<char*>(path), &unused, OF_READ);
}

int32_t LzReadBytes(int32_t handle, void* buffer, int32_t count) {
    return LZRead(handle, static_cast<char*>(buffer), count);
}

int32_t LzSeekBytes(int32_t handle, int32_t offset, int32_t origin) {
    return LZSeek(handle, offset, origin);
}

void LzCloseHandle(int32_t handle) {
    LZClose(handle);
}
