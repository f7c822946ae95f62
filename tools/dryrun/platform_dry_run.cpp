// The tools' front of the platform layer, linked instead of the system's:
// each call goes to the system's backend, or to the dry run while one is on.
#include "fileutil/platform_backend.h"
#include "tools/dryrun/dry_run.h"

bool PlatformFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    return DryRunActive() ? DryFindFirst(searchText, handle, data)
                          : BackendFindFirst(searchText, handle, data);
}

bool PlatformFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    return DryRunActive() ? DryFindNext(handle, data) : BackendFindNext(handle, data);
}

void PlatformFindClose(PlatformFindHandle handle) {
    DryRunActive() ? DryFindClose(handle) : BackendFindClose(handle);
}

void PlatformSetAttributesNormal(const char* path) {
    DryRunActive() ? DrySetAttributesNormal(path) : BackendSetAttributesNormal(path);
}

bool PlatformSetReadOnly(const char* path) {
    return DryRunActive() ? DrySetReadOnly(path) : BackendSetReadOnly(path);
}

void PlatformDeleteFile(const char* path) {
    DryRunActive() ? DryDeleteFile(path) : BackendDeleteFile(path);
}

bool PlatformCreateDirectory(const char* path) {
    return DryRunActive() ? DryCreateDirectory(path) : BackendCreateDirectory(path);
}

bool PlatformRename(const char* from, const char* to) {
    return DryRunActive() ? DryRename(from, to) : BackendRename(from, to);
}

FILE* PlatformOpenStream(const char* path, const char* mode) {
    return DryRunActive() ? DryOpenStream(path, mode) : BackendOpenStream(path, mode);
}

// A dry run's files are scratch copies thrown away at its end: written out
// of the stream's buffer, but not waited for on the disk.
bool PlatformFlushStream(FILE* stream) {
    return DryRunActive() ? std::fflush(stream) == 0 : BackendFlushStream(stream);
}

bool PlatformMakeTempDirectory(char* out, size_t outSize) {
    return BackendMakeTempDirectory(out, outSize);
}

bool PlatformRemoveDirectory(const char* path) {
    return BackendRemoveDirectory(path);
}
