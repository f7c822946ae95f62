// Win32 backend: the system's own calls.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "fileutil/platform.h"

namespace {

void CopyFindData(const WIN32_FIND_DATAA& found, PlatformFindData* data) {
    std::memcpy(data->name, found.cFileName, sizeof data->name);
    data->name[sizeof data->name - 1] = '\0';
    data->attributes = found.dwFileAttributes;
}

} // namespace

bool PlatformFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(searchText, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    CopyFindData(found, data);
    *handle = search;
    return true;
}

bool PlatformFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    WIN32_FIND_DATAA found;
    if (!FindNextFileA(static_cast<HANDLE>(handle), &found)) {
        return false;
    }
    CopyFindData(found, data);
    return true;
}

void PlatformFindClose(PlatformFindHandle handle) {
    FindClose(static_cast<HANDLE>(handle));
}

void PlatformSetAttributesNormal(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
}

bool PlatformSetReadOnly(const char* path) {
    return SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY) != 0;
}

void PlatformDeleteFile(const char* path) {
    DeleteFileA(path);
}

bool PlatformCreateDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

bool PlatformRename(const char* from, const char* to) {
    return MoveFileA(from, to) != 0;
}

FILE* PlatformOpenStream(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool PlatformIsLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != 0;
}

void PlatformUseShiftJis(bool) {}
