// POSIX backend. Paths arrive in the Windows form; each call first maps them
// to a native path: "\" becomes "/", and every component that does not exist
// under its exact name is looked up without regard to letter case.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/path.h"
#include "fileutil/platform_backend.h"

namespace {

bool g_shiftJis = false;

constexpr size_t kNativeSize = 4096;
constexpr uint32_t kAttrArchive = 0x20;

bool ExistsExactly(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

// Looks for a case-insensitive match of component in directory; on success
// the matching name is copied into out.
bool FindComponent(const char* directory, const char* component, char* out, size_t outSize) {
    DIR* dir = opendir(directory[0] != '\0' ? directory : ".");
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (struct dirent* entry = readdir(dir)) {
        if (SameIgnoringCase(entry->d_name, component) && std::strlen(entry->d_name) < outSize) {
            std::strcpy(out, entry->d_name);
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Maps a Windows-form path to a native one. False when it does not fit.
bool NativePath(const char* path, char* out) {
    size_t length = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (length + 2 >= kNativeSize) {
            return false;
        }
        if (PlatformIsLeadByte(c) && path[i + 1] != '\0') {
            out[length++] = path[i++];
            out[length++] = path[i];
            continue;
        }
        out[length++] = c == '\\' ? '/' : static_cast<char>(c);
    }
    out[length] = '\0';
    // Resolve letter case component by component.
    char resolved[kNativeSize];
    char component[kNativeSize];
    char match[256];
    size_t used = 0;
    const char* p = out;
    if (*p == '/') {
        resolved[used++] = '/';
        ++p;
    }
    resolved[used] = '\0';
    while (*p != '\0') {
        const char* end = std::strchr(p, '/');
        size_t partLength = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        std::memcpy(component, p, partLength);
        component[partLength] = '\0';
        size_t before = used;
        std::memcpy(resolved + used, component, partLength + 1);
        used += partLength;
        if (partLength > 0 && !ExistsExactly(resolved)) {
            resolved[before] = '\0';
            if (FindComponent(resolved, component, match, sizeof match)) {
                size_t matchLength = std::strlen(match);
                std::memcpy(resolved + before, match, matchLength + 1);
                used = before + matchLength;
            } else {
                std::memcpy(resolved + before, component, partLength + 1);
            }
        }
        if (end == nullptr) {
            break;
        }
        resolved[used++] = '/';
        resolved[used] = '\0';
        p = end + 1;
    }
    std::memcpy(out, resolved, used + 1);
    return true;
}

struct PosixSearch {
    DIR* dir;
    char directory[kNativeSize];
    char pattern[256];
};

uint32_t AttributesOf(const char* directory, const char* name) {
    char full[kNativeSize];
    int written = std::snprintf(full, sizeof full, "%s%s%s", directory,
                                directory[0] != '\0' ? "/" : "", name);
    struct stat info;
    if (written < 0 || static_cast<size_t>(written) >= sizeof full || stat(full, &info) != 0) {
        return kAttrArchive;
    }
    uint32_t readOnly = (info.st_mode & S_IWUSR) ? 0 : kAttrReadOnly;
    if (S_ISDIR(info.st_mode)) {
        return kAttrDirectory | readOnly;
    }
    return readOnly != 0 ? readOnly : kAttrArchive;
}

bool NextMatch(PosixSearch* search, PlatformFindData* data) {
    while (struct dirent* entry = readdir(search->dir)) {
        if (std::strlen(entry->d_name) >= sizeof data->name) {
            continue;
        }
        if (!MatchesPattern(search->pattern, entry->d_name)) {
            continue;
        }
        std::strcpy(data->name, entry->d_name);
        data->attributes = AttributesOf(search->directory, entry->d_name);
        return true;
    }
    return false;
}

bool WritableOrAbsent(const char* native) {
    struct stat info;
    if (stat(native, &info) != 0) {
        return true;
    }
    return (info.st_mode & S_IWUSR) != 0 && !S_ISDIR(info.st_mode);
}

} // namespace

bool BackendFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    char native[kNativeSize];
    if (!NativePath(searchText, native)) {
        return false;
    }
    const char* slash = std::strrchr(native, '/');
    PosixSearch* search = static_cast<PosixSearch*>(std::calloc(1, sizeof(PosixSearch)));
    if (search == nullptr) {
        return false;
    }
    const char* pattern = slash != nullptr ? slash + 1 : native;
    if (std::strlen(pattern) >= sizeof search->pattern) {
        std::free(search);
        return false;
    }
    std::strcpy(search->pattern, pattern);
    if (slash != nullptr) {
        size_t dirLength = static_cast<size_t>(slash - native);
        if (dirLength == 0) {
            std::strcpy(search->directory, "/");
        } else {
            std::memcpy(search->directory, native, dirLength);
            search->directory[dirLength] = '\0';
        }
    }
    search->dir = opendir(search->directory[0] != '\0' ? search->directory : ".");
    if (search->dir == nullptr || !NextMatch(search, data)) {
        if (search->dir != nullptr) {
            closedir(search->dir);
        }
        std::free(search);
        return false;
    }
    *handle = search;
    return true;
}

bool BackendFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    return NextMatch(static_cast<PosixSearch*>(handle), data);
}

void BackendFindClose(PlatformFindHandle handle) {
    PosixSearch* search = static_cast<PosixSearch*>(handle);
    closedir(search->dir);
    std::free(search);
}

// A symbolic link has no mode of its own to reset, and chmod would change
// the file it points to (possibly outside the installation); links are left
// as they are, and DeleteFile removes them whatever their target's mode.
void BackendSetAttributesNormal(const char* path) {
    char native[kNativeSize];
    struct stat info;
    if (NativePath(path, native) && lstat(native, &info) == 0 && !S_ISLNK(info.st_mode)) {
        chmod(native, (info.st_mode & 07777) | S_IWUSR);
    }
}

bool BackendSetReadOnly(const char* path) {
    char native[kNativeSize];
    struct stat info;
    return NativePath(path, native) && stat(native, &info) == 0 &&
           chmod(native, (info.st_mode & 07777) & ~(S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

void BackendDeleteFile(const char* path) {
    char native[kNativeSize];
    struct stat info;
    // Like DeleteFileA: no directories, and a read-only file is refused.
    if (!NativePath(path, native) || lstat(native, &info) != 0 || S_ISDIR(info.st_mode) ||
        (!S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0)) {
        return;
    }
    unlink(native);
}

bool BackendCreateDirectory(const char* path) {
    char native[kNativeSize];
    return NativePath(path, native) && mkdir(native, 0777) == 0;
}

bool BackendRename(const char* from, const char* to) {
    char nativeFrom[kNativeSize];
    char nativeTo[kNativeSize];
    if (!NativePath(from, nativeFrom) || !NativePath(to, nativeTo)) {
        return false;
    }
    if (renameat2(AT_FDCWD, nativeFrom, AT_FDCWD, nativeTo, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // File systems without RENAME_NOREPLACE: a hard link refuses to replace.
    if (link(nativeFrom, nativeTo) != 0) {
        return false;
    }
    unlink(nativeFrom);
    return true;
}

FILE* BackendOpenStream(const char* path, const char* mode) {
    char native[kNativeSize];
    if (!NativePath(path, native)) {
        return nullptr;
    }
    // Writing to a read-only file is refused as on Windows, even for root.
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (writes && !WritableOrAbsent(native)) {
        errno = EACCES;
        return nullptr;
    }
    return std::fopen(native, mode);
}

// fsync, not fdatasync: a file the update has just created also needs its
// size and blocks recorded, which fdatasync leaves out only for files whose
// size did not change.
bool BackendFlushStream(FILE* stream) {
    return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
}

bool BackendMakeTempDirectory(char* out, size_t outSize) {
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') {
        base = "/tmp";
    }
    int written = std::snprintf(out, outSize, "%s/vnpatch-XXXXXX", base);
    if (written < 0 || static_cast<size_t>(written) >= outSize || mkdtemp(out) == nullptr) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool BackendRemoveDirectory(const char* path) {
    char native[kNativeSize];
    return NativePath(path, native) && rmdir(native) == 0;
}

bool PlatformIsLeadByte(unsigned char byte) {
    return g_shiftJis && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

void PlatformUseShiftJis(bool enabled) {
    g_shiftJis = enabled;
}
