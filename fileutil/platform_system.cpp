// The system's front of the platform layer: every call goes straight to this
// build's backend. It lives in a library of its own so that an executable
// that links another front (the tools' dry run) never pulls it in.
#include "fileutil/platform_backend.h"

bool PlatformFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    return BackendFindFirst(searchText, handle, data);
}

bool PlatformFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    return BackendFindNext(handle, data);
}

void PlatformFindClose(PlatformFindHandle handle) {
    BackendFindClose(handle);
}

void PlatformSetAttributesNormal(const char* path) {
    BackendSetAttributesNormal(path);
}

bool PlatformSetReadOnly(const char* path) {
    return BackendSetReadOnly(path);
}

void PlatformDeleteFile(const char* path) {
    BackendDeleteFile(path);
}

bool PlatformCreateDirectory(const char* path) {
    return BackendCreateDirectory(path);
}

bool PlatformRename(const char* from, const char* to) {
    return BackendRename(from, to);
}

FILE* PlatformOpenStream(const char* path, const char* mode) {
    return BackendOpenStream(path, mode);
}

bool PlatformFlushStream(FILE* stream) {
    return BackendFlushStream(stream);
}

bool PlatformMakeTempDirectory(char* out, size_t outSize) {
    return BackendMakeTempDirectory(out, outSize);
}

bool PlatformRemoveDirectory(const char* path) {
    return BackendRemoveDirectory(path);
}
